// Each routine is one volatile access of its width, never split or merged by the compiler.

#include <Library/DebugLib.h>
#include <Library/IoLib.h>

#define SOURCE_FILE "BasePkg/Library/BaseIoLibIntrinsic/IoLib"

extern "C" {

UINT16 EFIAPI MmioRead16(UINTN Address) {
  ASSERT_AT((Address & 1) == 0, SOURCE_FILE, 151, "(Address & 1) == 0");
  return *(volatile UINT16 *)Address;
}

UINT16 EFIAPI MmioWrite16(UINTN Address, UINT16 Value) {
  ASSERT_AT((Address & 1) == 0, SOURCE_FILE, 183, "(Address & 1) == 0");
  *(volatile UINT16 *)Address = Value;
  return Value;
}

UINT32 EFIAPI MmioRead32(UINTN Address) { return *(volatile UINT32 *)Address; }

}  // extern "C"
