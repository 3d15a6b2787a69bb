// PCIe root port to PCI device/function map.
#pragma once

#include <Uefi/UefiTypes.h>

// One controller of four root ports: its PCI device, its PCR port id and its first root port.
struct PcieRpController {
  UINT8 Device;
  UINT8 PortId;
  UINT8 FirstRootPort;
};
static_assert(sizeof(PcieRpController) == 3);

#define PCH_PCIE_CONTROLLERS 5

extern "C" {

extern const PcieRpController PcieRpControllerTable[PCH_PCIE_CONTROLLERS];

// Stores the device and function of root port RpNumber (from 0) and returns EFI_SUCCESS;
// EFI_INVALID_PARAMETER, with nothing stored, when RpNumber is not below GetPchPcieRpCount().
EFI_STATUS EFIAPI GetPchPcieRpDevFun(UINT32 RpNumber, UINT32 *Device, UINT32 *Function);

}  // extern "C"
