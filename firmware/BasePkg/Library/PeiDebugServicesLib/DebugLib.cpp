// Debug output through the debug-services PPI, located anew for every print and assertion.

#include <Library/DebugLib.h>
#include <Library/PeiServicesTablePointerLib.h>
#include <Ppi/DebugServices.h>

extern "C" {

const EFI_GUID gDebugServicesPpiGuid = {
    0x36232936, 0x0E76, 0x31C8, {0xA1, 0x3A, 0x3A, 0xF2, 0xFC, 0x1C, 0x39, 0x32}};

// The debug-services PPI, or null when it (or the services table) is missing.
DebugServicesPpi *EFIAPI LocateDebugServicesPpi() {
  // The unchecked read: an assertion about a missing table would come straight back here.
  const EFI_PEI_SERVICES **PeiServices = GetPeiServicesTablePointerUnchecked();
  if (PeiServices == NULL) {
    return NULL;
  }
  EFI_PEI_PPI_DESCRIPTOR *Descriptor = NULL;
  DebugServicesPpi *Ppi = NULL;
  EFI_STATUS Status =
      (*PeiServices)->LocatePpi(PeiServices, &gDebugServicesPpiGuid, 0, &Descriptor, (VOID **)&Ppi);
  if (EFI_ERROR(Status)) {
    return NULL;
  }
  return Ppi;
}

VOID EFIAPI DebugPrint(UINTN ErrorLevel, const CHAR8 *Format, ...) {
  DebugServicesPpi *Ppi = LocateDebugServicesPpi();
  if (Ppi == NULL) {
    return;
  }
  if ((ErrorLevel & DEBUG_PRINT_LEVEL_MASK) == 0) {
    return;
  }
  VA_LIST Marker;
  VA_START(Marker, Format);
  Ppi->Print(ErrorLevel, Format, Marker);
  VA_END(Marker);
}

VOID EFIAPI DebugAssert(const CHAR8 *FileName, UINTN LineNumber, const CHAR8 *Description) {
  DebugServicesPpi *Ppi = LocateDebugServicesPpi();
  if (Ppi != NULL) {
    Ppi->Assert(FileName, LineNumber, Description);
  }
}

BOOLEAN EFIAPI DebugPrintEnabled() { return TRUE; }

// One routine under two names.
BOOLEAN EFIAPI DebugAssertEnabled() __attribute__((alias("DebugPrintEnabled")));

BOOLEAN EFIAPI DebugPrintLevelEnabled(UINTN ErrorLevel) { return ErrorLevel != 0; }

}  // extern "C"
