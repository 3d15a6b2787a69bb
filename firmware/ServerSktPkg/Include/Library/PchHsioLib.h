// HSIO lane ownership of SATA, sSATA and PCIe ports, and the clocking mode from the soft strap.
#pragma once

#include <Uefi/UefiTypes.h>

// Raw clocking-mode codes the soft strap can give.
#define RAW_CLOCKING_MODE_INTERNAL_STANDARD 0x00
#define RAW_CLOCKING_MODE_EXTERNAL 0x02
#define RAW_CLOCKING_MODE_CODE_10 0x10

// Soft strap word that carries the clocking choice in bits 1:0.
#define PCH_SOFT_STRAP_CLOCKING_OFFSET 0x1F4
#define B_PCH_SOFT_STRAP_CLOCKING_CHOICE 0x3

extern "C" {

// Each lookup stores the HSIO lane of the port in *Lane and returns EFI_SUCCESS when the port is
// in the series' layout and its lane carries the controller's owner code; otherwise it returns
// EFI_UNSUPPORTED and leaves *Lane untouched.
EFI_STATUS EFIAPI GetPchSataPortLane(UINT32 SataPort, UINT8 *Lane);
EFI_STATUS EFIAPI GetPchSecondarySataPortLane(UINT32 SataPort, UINT8 *Lane);
EFI_STATUS EFIAPI GetPchPcieRpLane(UINT32 RootPort, UINT8 *Lane);

// Owner code of Lane in the four lane-owner register values OwnerRegisters.
UINT32 EFIAPI GetHsioLaneOwner(const UINT32 *OwnerRegisters, UINT8 Lane);

// Reads lane-owner register Index (0 to 3) into Owners[Index].
VOID EFIAPI ReadHsioLaneOwner(UINT32 *Owners, UINT32 Index);

// The raw clocking-mode code from the soft strap: 0x00, 0x02 or 0x10. Never fails; any failure
// gives 0x00.
UINT32 EFIAPI GetClockingMode();

}  // extern "C"
