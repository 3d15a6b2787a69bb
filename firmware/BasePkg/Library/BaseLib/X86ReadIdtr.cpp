#include <Library/BaseLib.h>
#include <Library/DebugLib.h>

#define SOURCE_FILE "BasePkg/Library/BaseLib/X86ReadIdtr"

extern "C" {

VOID EFIAPI ReadIdtr(Ia32Descriptor *Idtr) {
  ASSERT_AT(Idtr != NULL, SOURCE_FILE, 37, "Idtr != ((void *) 0)");
  __asm__ __volatile__("sidt %0" : "=m"(*Idtr));
}

}  // extern "C"
