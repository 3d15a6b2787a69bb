#include <Library/DebugLib.h>
#include <Library/PcdLib.h>
#include <Library/PeiServicesTablePointerLib.h>

#define SOURCE_FILE "BasePkg/Library/PeiPcdLib/PeiPcdLib"

extern "C" {

const EFI_GUID gPcdPpiGuid = {
    0x06E81C58, 0x4AD7, 0x44BC, {0x83, 0x90, 0xF1, 0x02, 0x65, 0xF7, 0x24, 0x80}};

PcdPpi *EFIAPI GetPcdPpi() {
  const EFI_PEI_SERVICES **PeiServices = GetPeiServicesTablePointer();
  PcdPpi *Ppi = NULL;
  EFI_STATUS Status = (*PeiServices)->LocatePpi(PeiServices, &gPcdPpiGuid, 0, NULL, (VOID **)&Ppi);
  ASSERT_EFI_ERROR_AT(Status, SOURCE_FILE, 49);
  // Design decision: without the PPI there is no value to read; the callers answer 0 or null
  // rather than calling through a missing interface.
  if (EFI_ERROR(Status)) {
    return NULL;
  }
  return Ppi;
}

UINT64 EFIAPI PcdGet64(UINTN TokenNumber) {
  PcdPpi *Ppi = GetPcdPpi();
  if (Ppi == NULL) {
    return 0;
  }
  return Ppi->Get64(TokenNumber);
}

VOID *EFIAPI PcdGetPtr(UINTN TokenNumber) {
  PcdPpi *Ppi = GetPcdPpi();
  if (Ppi == NULL) {
    return NULL;
  }
  return Ppi->GetPtr(TokenNumber);
}

}  // extern "C"
