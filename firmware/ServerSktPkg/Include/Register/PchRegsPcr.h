// Private configuration registers: a 16 MiB window in which every PCH unit that is not a PCI
// function owns a 64 KiB slice selected by its 8-bit port id. Accesses are 32 bits wide.
#pragma once

#define PCH_PCR_BASE_ADDRESS 0xFD000000u
#define PCH_PCR_ADDRESS(Port, Offset) \
  (PCH_PCR_BASE_ADDRESS | ((UINT32)(Port) << 16) | (UINT32)(Offset))

// HSIO lane ownership: four registers of eight 4-bit owner codes, lane 8k+j in nibble j of
// register k.
#define PID_HSIO_LANE_OWNER 0x13
#define R_HSIO_LANE_OWNER(Register) (0x250 + 4 * (Register))
#define HSIO_LANE_OWNER_REGISTERS 4
#define HSIO_LANES_PER_OWNER_REGISTER 8
#define V_HSIO_LANE_OWNER_PCIE 0x0
#define V_HSIO_LANE_OWNER_SATA 0x2  // SATA and sSATA alike
#define HSIO_LANE_OWNER_CODE_MASK 0xF

// PCIe root-port controllers: offset 0 holds the PCI function of each of the controller's four
// root ports, 4 bits per root port, of which bits 2:0 are the function number.
#define PID_PCIE_CONTROLLER_0 0xE0
#define PID_PCIE_CONTROLLER_1 0xE1
#define PID_PCIE_CONTROLLER_2 0xE2
#define PID_PCIE_CONTROLLER_3 0xE3
#define PID_PCIE_CONTROLLER_4 0xE4
#define R_PCIE_CONTROLLER_FUNCTION_MAP 0x0000
#define PCIE_ROOT_PORTS_PER_CONTROLLER 4
#define B_PCIE_CONTROLLER_FUNCTION_NUMBER 0x7
