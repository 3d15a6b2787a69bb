#include "QuarnelPeiSystemBoardOverride.h"

#include <Library/DebugLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PciExpressLib.h>
#include <Library/PeiServicesTablePointerLib.h>
#include <Library/SystemBoardPpiLib.h>
#include <Ppi/SystemBoard.h>
#include <Register/PchRegsPmc.h>

#define SOURCE_FILE \
  "QuarnelProjectPkg/BoardMain/QuarnelPeiSystemBoardOverride/QuarnelPeiSystemBoardOverride"

#define PMC_ACPI_CONTROL_CFG_OFFSET                                                 \
  PCI_EXPRESS_CFG_OFFSET(0, PCI_DEVICE_NUMBER_PCH_PMC, PCI_FUNCTION_NUMBER_PCH_PMC, \
                         R_PMC_CFG_ACPI_CONTROL)
static_assert(PMC_ACPI_CONTROL_CFG_OFFSET == 0x000FA044);

extern "C" {

const EFI_GUID gSystemBoardPpiGuid = {
    0xC8D85E8C, 0xDC1C, 0x4F8C, {0xAD, 0xA7, 0x58, 0xC1, 0xD1, 0x07, 0xA3, 0x04}};

const EFI_PEI_NOTIFY_DESCRIPTOR SystemBoardPpiNotifyDescriptor = {
    EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
    &gSystemBoardPpiGuid, SystemBoardPpiNotifyCallback};

EFI_STATUS EFIAPI SystemBoardPpiNotifyCallback(EFI_PEI_SERVICES **PeiServices,
                                               EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor,
                                               VOID *Ppi) {
  const EFI_PEI_SERVICES **Services = GetPeiServicesTablePointer();
  EFI_PEI_PPI_DESCRIPTOR *InstalledDescriptor = NULL;
  VOID *InstalledInterface = NULL;
  EFI_STATUS Status = (*Services)->LocatePpi(Services, &gSystemBoardPpiGuid, 0,
                                             &InstalledDescriptor, &InstalledInterface);
  ASSERT_EFI_ERROR_AT(Status, SOURCE_FILE, 117);
  // Design decision: without an installed PPI there is nothing to copy; the error goes back to
  // the PEI foundation.
  if (EFI_ERROR(Status)) {
    return Status;
  }

  // The installed descriptor and interface are never written; the copies stay allocated for the
  // rest of PEI.
  EFI_PEI_PPI_DESCRIPTOR *NewDescriptor = (EFI_PEI_PPI_DESCRIPTOR *)AllocateCopyPool(
      sizeof(EFI_PEI_PPI_DESCRIPTOR), InstalledDescriptor);
  if (NewDescriptor == NULL) {
    return EFI_OUT_OF_RESOURCES;  // Design decision: stop before touching anything.
  }
  SystemBoardPpi *NewInterface =
      (SystemBoardPpi *)AllocateCopyPool(sizeof(SystemBoardPpi), InstalledDescriptor->Ppi);
  if (NewInterface == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }
  NewDescriptor->Ppi = NewInterface;

  // The re-installation notifies this routine again for the copy; finding slot 15 already ours
  // ends that round without a second re-installation.
  if (NewInterface->ApplyPtssTables == ApplyBoardPtssTables) {
    return EFI_SUCCESS;
  }
  NewInterface->ApplyPtssTables = ApplyBoardPtssTables;

  Status = (*Services)->ReInstallPpi(Services, InstalledDescriptor, NewDescriptor);
  ASSERT_EFI_ERROR_AT(Status, SOURCE_FILE, 134);
  DebugPrint(DEBUG_INFO, "Reinstall Descriptor Status = %d.\n", Status);
  return Status;
}

EFI_STATUS EFIAPI SystemBoardOverrideEntryPoint(EFI_PEI_FILE_HANDLE FileHandle,
                                                const EFI_PEI_SERVICES **PeiServices) {
  if ((PciExpressRead8(PMC_ACPI_CONTROL_CFG_OFFSET) & B_PMC_CFG_ACPI_CONTROL_EN) == 0) {
    // The base goes in before the decode is switched on, and the control byte is read afresh so
    // that its other bits are kept as the hardware has them now.
    SetPmcAcpiBase();
    volatile UINT8 *AcpiControl =
        (volatile UINT8 *)(GetPciExpressBase() + PMC_ACPI_CONTROL_CFG_OFFSET);
    *AcpiControl = (UINT8)(*AcpiControl | B_PMC_CFG_ACPI_CONTROL_EN);
  }

  const EFI_PEI_SERVICES **Services = GetPeiServicesTablePointer();
  return (*Services)->NotifyPpi(Services, &SystemBoardPpiNotifyDescriptor);
}

}  // extern "C"
