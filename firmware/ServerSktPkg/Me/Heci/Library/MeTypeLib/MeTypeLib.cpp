// ME firmware type, from the first HECI function's MEFS1, the ME firmware HOB when that function
// does not answer, and the PMC's DWR flow before either. Nothing is cached.

#include <Guid/MeFwHob.h>
#include <Library/DebugLib.h>
#include <Library/HobLib.h>
#include <Library/IoLib.h>
#include <Library/MeTypeLib.h>
#include <Library/PchPmcLib.h>
#include <Library/PciExpressLib.h>
#include <Ppi/Heci.h>
#include <Register/HeciRegs.h>

#define SOURCE_FILE "ServerSktPkg/Me/Heci/Library/MeTypeLib/MeTypeLib"

extern "C" {

const EFI_GUID gMeFwHobGuid = {
    0x52885E62, 0x4C4D, 0x9546, {0x2D, 0xBA, 0x2A, 0x84, 0x89, 0xEE, 0xA8, 0xA3}};

// Configuration space of the first HECI function.
UINTN EFIAPI GetHeci1CfgBase() {
  return GetPciCfgBase(0, PCI_DEVICE_NUMBER_HECI, PCI_FUNCTION_NUMBER_HECI1);
}

UINT32 EFIAPI GetMeFs1FromHob(UINT32 Default) {
  UINT32 MeFs1 = V_MEFS1_ALL_ONES;
  const MeFwHob *Hob = (const MeFwHob *)GetFirstGuidHob(&gMeFwHobGuid);
  if (Hob != NULL) {
    if (Hob->Group0FunNumber == HECI1_DEVICE) {
      MeFs1 = Hob->Group0MeFs1;
    } else {
      DebugAssert(SOURCE_FILE, 67, "MeFwHob->Group[0].FunNumber == HECI1_DEVICE");
    }
  }
  if (Hob == NULL || MeFs1 == V_MEFS1_ALL_ONES) {
    DebugPrint(DEBUG_ERROR, "HECI: GetMeFs1FromHob() Can't read correctly MeFwHob info\n");
    MeFs1 = Default;
  }
  DebugPrint(DEBUG_INFO, "HECI: GetMeFs1FromHob() returns MEFS1 = %d\n", MeFs1);
  return MeFs1;
}

MeType EFIAPI GetOnBoardMeType() {
  if (IsDwrFlow()) {
    DebugPrint(DEBUG_INFO, "HECI: GetOnBoardMeType() for DWR flow return Dfx type\n");
    return MeTypeDfx;
  }

  UINTN HeciBase = GetHeci1CfgBase();
  UINT32 MeFs1 = MmioRead32(HeciBase + R_HECI_CFG_MEFS1);
  if (MeFs1 == V_MEFS1_ALL_ONES) {
    // The function does not answer: take what earlier firmware recorded.
    MeFs1 = GetMeFs1FromHob(V_MEFS1_ALL_ONES);
    DebugPrint(DEBUG_INFO, "HECI: GetOnBoardMeType() reads Hfs info from HOB = %d\n", MeFs1);
  }

  // The state field decides before the operation mode. An all-ones MEFS1 (no function and no
  // usable HOB) lands here as state 15 and so as Dfx.
  switch (MeFs1 & B_MEFS1_CURRENT_STATE) {
    case V_MEFS1_CURRENT_STATE_15:
      return MeTypeDfx;
    case V_MEFS1_CURRENT_STATE_4:
      return MeTypeCode255;
    default:
      break;
  }

  UINT32 OperationMode = (MeFs1 >> N_MEFS1_OPERATION_MODE) & B_MEFS1_OPERATION_MODE;
  DebugPrint(DEBUG_INFO, "HECI: MeOperationMode = %d\n", OperationMode);
  switch (OperationMode) {
    case 0:
    case 1:
    case 3:
    case 4:
    case 5:
      return MeTypeCode2;
    case 2:
    case 7:
      return MeTypeCode255;
    case 15:
      return MeTypeSps;
    default:
      break;
  }

  DebugPrint(DEBUG_ERROR, "HECI: ME type not recognized (MEFS1: 0x%08X)\n", MeFs1);
  DebugPrint(DEBUG_ERROR, "                             (MEFS2: 0x%08X)\n",
             MmioRead32(HeciBase + R_HECI_CFG_MEFS2));
  return MeTypeNotRecognized;
}

BOOLEAN EFIAPI IsSpsMeInStateTwo() {
  if (GetOnBoardMeType() != MeTypeSps) {
    return FALSE;
  }
  // Only the hardware register counts here, never the HOB.
  UINT32 MeFs1 = MmioRead32(GetHeci1CfgBase() + R_HECI_CFG_MEFS1);
  return (MeFs1 & B_MEFS1_CURRENT_STATE) == V_MEFS1_CURRENT_STATE_2;
}

}  // extern "C"
