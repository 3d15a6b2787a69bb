#include <Library/DebugLib.h>
#include <Library/IoLib.h>
#include <Library/PchCycleDecodingLib.h>
#include <Library/PciExpressLib.h>
#include <Register/PchRegsLpc.h>
#include <Register/PchRegsPmc.h>

#define SOURCE_FILE \
  "ServerSktPkg/SouthClusterSrv/Library/PeiDxeSmmPchCycleDecodingLib/PchCycleDecodingLib"

extern "C" {

EFI_STATUS EFIAPI PchPwrmBaseGet(UINT32 *Address) {
  if (Address == NULL) {
    DebugPrint(DEBUG_ERROR, "PchPwrmBaseGet Error. Invalid pointer.\n");
    ASSERT_UNREACHABLE_AT(SOURCE_FILE, 293);
    return EFI_INVALID_PARAMETER;
  }

  UINTN PmcBase =
      GetPciCfgBase(PCI_BUS_NUMBER_PCH, PCI_DEVICE_NUMBER_PCH_PMC, PCI_FUNCTION_NUMBER_PCH_PMC);
  if (MmioRead16(PmcBase + R_PMC_CFG_VENDOR_ID) == V_PMC_CFG_VENDOR_ID_ABSENT) {
    ASSERT_UNREACHABLE_AT(SOURCE_FILE, 303);
    return EFI_UNSUPPORTED;
  }
  *Address = MmioRead32(PmcBase + R_PMC_CFG_PWRM_BASE) & B_PMC_CFG_PWRM_BASE_ADDRESS;
  return EFI_SUCCESS;
}

}  // extern "C"
