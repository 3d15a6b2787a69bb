// The board routine behind System Board PPI slot 15: choose the PTSS table, gather board id,
// port counts and PCIe topology, and run the passes, with a fallback for an unknown board.

#include <Guid/PlatformInfoHob.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/HobLib.h>
#include <Library/IoLib.h>
#include <Library/MeTypeLib.h>
#include <Library/PchInfoLib.h>
#include <Library/PchPcieRpLib.h>
#include <Library/PciExpressLib.h>
#include <Library/SystemBoardPpiLib.h>
#include <Register/PchRegsPcieRp.h>
#include <Register/PchRegsPcr.h>

#define SOURCE_FILE "QuarnelPkg/Library/SystemBoardPpiLib/SystemBoardPpiLib"

extern "C" {

const EFI_GUID gPlatformInfoHobGuid = {
    0x1E2ACC41, 0xE26A, 0x483D, {0xAF, 0xC7, 0xA0, 0x56, 0xC3, 0x4E, 0x08, 0x7B}};

UINT8 EFIAPI GetBoardId() {
  const PlatformInfoHob *GuidHob = (const PlatformInfoHob *)GetFirstGuidHob(&gPlatformInfoHobGuid);
  ASSERT_IF_ENABLED_AT(GuidHob != NULL, SOURCE_FILE, 91, "GuidHob != ((void *) 0)");
  if (GuidHob == NULL) {
    return PLATFORM_INFO_BOARD_ID_UNKNOWN;
  }
  return GuidHob->BoardId;
}

// The PTSS table for the stepping (and, from the second server stepping on, the clocking mode),
// or null when the stepping has none.
const volatile PtssTable *EFIAPI SelectPtssTable(PchStepping Stepping) {
  ClockingMode Mode = InternalStandard;
  switch (Stepping) {
    case PchSrvA0:
      return &PtssTableA;
    case PchSrvA0 + 1:
    case PchSrvA0 + 2:
    case PchSrvA0 + 3:
      // Any failure of the query leaves the mode at InternalStandard.
      PeiGetCurrenClockingMode(&Mode);
      return Mode == External ? &PtssTableC : &PtssTableB;
    case PchSrvA0 + 4:
    case PchSrvA0 + 5:
      PeiGetCurrenClockingMode(&Mode);
      return Mode == External ? &PtssTableE : &PtssTableD;
    default:
      DEBUG_IF_ENABLED(DEBUG_ERROR, "Cannot find PTSS table for this PCH Stepping\n");
      if (DebugAssertEnabled()) {
        ASSERT_UNREACHABLE_AT(SOURCE_FILE, 182);
      }
      return NULL;
  }
}

// Spreads each controller's root-port topology codes over the lanes its root ports own, by the
// lane grouping strapped into the controller's first root port.
VOID EFIAPI AssignPcieTopology(PtssContext *Context) {
  const UINT8 *Setup = Context->Setup->PcieTopology;
  UINT8 *Assigned = Context->AssignedPcieTopology;
  for (UINT32 First = 0; First < Context->PcieRootPortCount;
       First += PCIE_ROOT_PORTS_PER_CONTROLLER) {
    UINT32 Device = 0;
    UINT32 Function = 0;
    GetPchPcieRpDevFun(First, &Device, &Function);
    UINT32 StrapFuseCfg =
        MmioRead32(GetPciCfgBase(0, Device, Function) + R_PCIE_RP_CFG_STRAP_FUSE_CFG);
    UINT32 LaneGrouping = (StrapFuseCfg >> N_PCIE_RP_CFG_STRAP_FUSE_CFG_LANE_GROUPING) &
                          B_PCIE_RP_CFG_STRAP_FUSE_CFG_LANE_GROUPING;
    DEBUG_IF_ENABLED(DEBUG_INFO, "PCIE Port %d StrapFuseCfg Value = %d\n", First, LaneGrouping);

    switch (LaneGrouping) {
      case V_PCIE_LANE_GROUPING_SEPARATE:
        Assigned[First] = Setup[First];
        Assigned[First + 1] = Setup[First + 1];
        Assigned[First + 2] = Setup[First + 2];
        Assigned[First + 3] = Setup[First + 3];
        break;
      case V_PCIE_LANE_GROUPING_FIRST_PAIR:
        Assigned[First] = Setup[First];
        Assigned[First + 1] = Setup[First];
        Assigned[First + 2] = Setup[First + 2];
        Assigned[First + 3] = Setup[First + 3];
        break;
      case V_PCIE_LANE_GROUPING_TWO_PAIRS:
        Assigned[First] = Setup[First];
        Assigned[First + 1] = Setup[First];
        Assigned[First + 2] = Setup[First + 2];
        Assigned[First + 3] = Setup[First + 2];
        break;
      default:
        Assigned[First] = Setup[First];
        Assigned[First + 1] = Setup[First];
        Assigned[First + 2] = Setup[First];
        Assigned[First + 3] = Setup[First];
        break;
    }
  }
}

VOID EFIAPI ApplyBoardPtssTables(const PchSetup *Setup, PchPolicy *Policy) {
  PtssContext Context;
  Context.Setup = Setup;
  Context.Policy = Policy;

  // The descriptor is read from the image each time: a loader may have pointed it elsewhere.
  const volatile PtssTable *Selected = SelectPtssTable(GetPchStepping());
  if (Selected != NULL) {
    Context.Table.Entries = Selected->Entries;
    Context.Table.Count = Selected->Count;
  } else {
    Context.Table.Entries = NULL;
    Context.Table.Count = 0;
  }

  Context.CurrentBoardId = GetBoardId();
  // The rest of the context, then the passes. The normal passes apply the table's entries for
  // this board id and count them in MatchedEntryCount; when none matched, the fallback passes
  // apply the entries of the unknown board instead. The port counts come from the PCH's
  // identity and bound every pass. The assigned topology starts as the setup's own codes and
  // AssignPcieTopology spreads them over the lanes each controller's root ports own, as the
  // controller's lane grouping is strapped. Both are logged per root port, so a log shows what
  // setup asked for and what the strapping made of it. The SATA and sSATA passes run before
  // the PCIe ones, root-port lanes before direct-indexed ones.
  Context.MatchedEntryCount = 0;
  Context.SataPortCount = GetPchSataPortCount();
  Context.SSataPortCount = GetPchSecondarySataPortCount();
  Context.PcieRootPortCount = GetPchPcieRpCount();

  ZeroMem(Context.AssignedPcieTopology, sizeof(Context.AssignedPcieTopology));
  CopyMem(Context.AssignedPcieTopology, Setup->PcieTopology, sizeof(Context.AssignedPcieTopology));
  AssignPcieTopology(&Context);

  for (UINT32 RootPort = 0; RootPort < Context.PcieRootPortCount; RootPort++) {
    DEBUG_IF_ENABLED(DEBUG_INFO, "PCIE PTSS Setup RP %d Topology = %d\n", RootPort,
                     Setup->PcieTopology[RootPort]);
    DEBUG_IF_ENABLED(DEBUG_INFO, "PCIE PTSS Assigned RP %d Topology = %d\n", RootPort,
                     Context.AssignedPcieTopology[RootPort]);
  }

  ApplySataPtss(&Context);
  ApplySSataPtss(&Context);
  ApplyPcieRpPtss(&Context);
  ApplyPcieDirectPtss(&Context);
  if (Context.MatchedEntryCount != 0) {
    return;
  }

  DEBUG_IF_ENABLED(DEBUG_INFO, "PTSS Settings for unknown board will be applied\n");
  ApplySataPtssFallback(&Context);
  ApplySSataPtssFallback(&Context);
  ApplyPcieRpPtssFallback(&Context);
  ApplyPcieDirectPtssFallback(&Context);
}

}  // extern "C"
