#include <Library/DebugLib.h>
#include <Library/IoLib.h>
#include <Library/PchCycleDecodingLib.h>
#include <Library/PchPmcLib.h>
#include <Register/PchRegsPmc.h>

#define SOURCE_FILE "ServerSktPkg/SouthClusterSrv/Library/PeiDxeSmmPchPmcLib/PchPmcLib"

extern "C" {

BOOLEAN EFIAPI IsDwrFlow() {
  // The status is not looked at: a base still 0 covers every failure.
  UINT32 PchPwrmBase = 0;
  PchPwrmBaseGet(&PchPwrmBase);
  if (PchPwrmBase == 0) {
    ASSERT_AT(PchPwrmBase != 0, SOURCE_FILE, 162, "PchPwrmBase != 0");
    return FALSE;
  }
  return (MmioRead32(PchPwrmBase + R_PWRM_DWR_STATUS) & B_PWRM_DWR_STATUS_FLOW) != 0;
}

}  // extern "C"
