// Power management controller (bus 0, device 31, function 2) and its PWRM register block.
#pragma once

#define PCI_DEVICE_NUMBER_PCH_PMC 31
#define PCI_FUNCTION_NUMBER_PCH_PMC 2

#define R_PMC_CFG_VENDOR_ID 0x00  // 16 bits; 0xFFFF when no function answers
#define V_PMC_CFG_VENDOR_ID_ABSENT 0xFFFF

#define R_PMC_CFG_ACPI_BASE 0x40  // 16 bits, I/O base of the ACPI registers
#define V_PMC_ACPI_BASE 0x0500

#define R_PMC_CFG_ACPI_CONTROL 0x44     // 8 bits
#define B_PMC_CFG_ACPI_CONTROL_EN 0x80  // decode of the ACPI I/O range

#define R_PMC_CFG_PWRM_BASE 0x48                 // 32 bits
#define B_PMC_CFG_PWRM_BASE_ADDRESS 0xFFFF0000u  // 64 KiB aligned base; low half is not address

// PWRM register that shows the DWR flow.
#define R_PWRM_DWR_STATUS 0x12C
#define B_PWRM_DWR_STATUS_FLOW 0x8000u
