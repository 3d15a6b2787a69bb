// The PEI foundation stores the services table pointer in the 4 bytes below the IDT base; the
// IDT is found with SIDT, so no global variable is needed in an image that runs from flash.

#include <Library/BaseLib.h>
#include <Library/DebugLib.h>
#include <Library/PeiServicesTablePointerLib.h>

#define SOURCE_FILE "BasePkg/Library/PeiServicesTablePointerLibIdt/PeiServicesTablePointer"

extern "C" {

const EFI_PEI_SERVICES **EFIAPI GetPeiServicesTablePointerUnchecked() {
  Ia32Descriptor Idtr;
  ReadIdtr(&Idtr);
  return *(const EFI_PEI_SERVICES ***)(UINTN)(Idtr.Base - sizeof(UINTN));
}

const EFI_PEI_SERVICES **EFIAPI GetPeiServicesTablePointer() {
  const EFI_PEI_SERVICES **PeiServices = GetPeiServicesTablePointerUnchecked();
  // DebugAssert reads the pointer through the unchecked form, so with a null pointer this report
  // is dropped instead of recursing.
  ASSERT_AT(PeiServices != NULL, SOURCE_FILE, 48, "PeiServices != ((void *) 0)");
  return PeiServices;
}

}  // extern "C"
