// Test-only firmware library, linked into the planted-fault image alone: a defect for the
// fuzzer's tests to find. The link wraps the board's slot-15 routine with it
// (/wrap:ApplyBoardPtssTables), so every call of that routine comes here first. On the unknown
// board id and the fifth server stepping (0x34) it stores through a null pointer; otherwise it
// runs the real routine. The released image never links this library.

#include <Guid/PlatformInfoHob.h>
#include <Library/PchInfoLib.h>
#include <Library/SystemBoardPpiLib.h>

extern "C" {

VOID EFIAPI __real_ApplyBoardPtssTables(const PchSetup *Setup, PchPolicy *Policy);

VOID EFIAPI __wrap_ApplyBoardPtssTables(const PchSetup *Setup, PchPolicy *Policy) {
  if (GetBoardId() == PLATFORM_INFO_BOARD_ID_UNKNOWN && GetPchStepping() == PchSrvA0 + 4) {
    *(volatile UINT32 *)NULL = 0;
  }
  __real_ApplyBoardPtssTables(Setup, Policy);
}

}  // extern "C"
