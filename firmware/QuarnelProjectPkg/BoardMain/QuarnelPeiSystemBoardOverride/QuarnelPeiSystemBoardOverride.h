// Board override module: makes the PMC decode its ACPI range and replaces slot 15 of the System
// Board PPI with this board's PTSS routine.
#pragma once

#include <Pi/PeiServices.h>

extern "C" {

// Registered on the System Board PPI GUID for the whole of PEI.
extern const EFI_PEI_NOTIFY_DESCRIPTOR SystemBoardPpiNotifyDescriptor;

// Module entry. Switches on the PMC's ACPI decode at base 0x0500 when it is off, registers the
// notification and returns NotifyPpi's status. Both arguments are ignored.
EFI_STATUS EFIAPI SystemBoardOverrideEntryPoint(EFI_PEI_FILE_HANDLE FileHandle,
                                                const EFI_PEI_SERVICES **PeiServices);

// Runs when the System Board PPI is installed or re-installed: re-installs a pool copy of it
// whose slot 15 is ApplyBoardPtssTables. Returns EFI_SUCCESS at once when the installed PPI
// already has it; otherwise LocatePpi's error, EFI_OUT_OF_RESOURCES when a copy cannot be
// allocated, or ReInstallPpi's status. The arguments are ignored.
EFI_STATUS EFIAPI SystemBoardPpiNotifyCallback(EFI_PEI_SERVICES **PeiServices,
                                               EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor,
                                               VOID *Ppi);

}  // extern "C"
