// Board HSIO PTSS tuning: the routine behind System Board PPI slot 15, its tables and passes.
#pragma once

#include <Board/HsioPtss.h>
#include <Pch/PchPolicy.h>
#include <Pch/PchSetup.h>

#define PTSS_TABLE_ENTRY_COUNT 56

// Working state of one ApplyBoardPtssTables call, handed to every pass.
struct PtssContext {
  const PchSetup *Setup;
  PchPolicy *Policy;
  PtssTable Table;  // empty (null, 0) when the stepping has no table
  UINT16 CurrentBoardId;
  UINT8 SataPortCount;
  UINT8 SSataPortCount;
  UINT8 PcieRootPortCount;
  UINT8 AssignedPcieTopology[PCH_MAX_PCIE_ROOT_PORTS];  // after lane-grouping propagation
  UINT32 MatchedEntryCount;                             // entries applied by the normal passes
};
static_assert(OFFSET_OF(PtssContext, Setup) == 0);
static_assert(OFFSET_OF(PtssContext, Policy) == 4);
static_assert(OFFSET_OF(PtssContext, Table) == 8);
static_assert(OFFSET_OF(PtssContext, CurrentBoardId) == 16);
static_assert(OFFSET_OF(PtssContext, SataPortCount) == 18);
static_assert(OFFSET_OF(PtssContext, SSataPortCount) == 19);
static_assert(OFFSET_OF(PtssContext, PcieRootPortCount) == 20);
static_assert(OFFSET_OF(PtssContext, AssignedPcieTopology) == 21);
static_assert(OFFSET_OF(PtssContext, MatchedEntryCount) == 44);
static_assert(sizeof(PtssContext) == 48);

extern "C" {

// The built-in entries, shared by the five tables.
extern const HsioPtssEntry PtssEntries[PTSS_TABLE_ENTRY_COUNT];

// Table descriptors by PCH stepping and clocking mode. Constants in read-only data, read afresh
// on every call, so a flash tool may point them at other entries before the boot.
extern const volatile PtssTable PtssTableA;  // stepping 0x30
extern const volatile PtssTable PtssTableB;  // 0x31-0x33, clocking mode other than External
extern const volatile PtssTable PtssTableC;  // 0x31-0x33, External
extern const volatile PtssTable PtssTableD;  // 0x34-0x35, clocking mode other than External
extern const volatile PtssTable PtssTableE;  // 0x34-0x35, External

// Slot 15 of the System Board PPI: writes the board's PTSS settings into Policy's HSIO lane
// records. Falls back to the entries for an unknown board when no entry matched.
VOID EFIAPI ApplyBoardPtssTables(const PchSetup *Setup, PchPolicy *Policy);

// Board id from the platform-information HOB; 0xFF (after an assertion report) without it.
UINT8 EFIAPI GetBoardId();

// The table for Stepping (asking the clocking mode for steppings 0x31 to 0x35), or null after an
// error report when the stepping has none.
const volatile PtssTable *EFIAPI SelectPtssTable(UINT32 Stepping);

// Fills Context->AssignedPcieTopology for each controller below the root-port count from the
// setup codes and the controller's strapped lane grouping, and logs the grouping.
VOID EFIAPI AssignPcieTopology(PtssContext *Context);

// SATA and sSATA passes. The normal ones apply entries of the current board and count them; the
// fallback ones apply entries of board 0xFF, handle fewer registers and do not count.
VOID EFIAPI ApplySataPtss(PtssContext *Context);
VOID EFIAPI ApplySSataPtss(PtssContext *Context);
VOID EFIAPI ApplySataPtssFallback(PtssContext *Context);
VOID EFIAPI ApplySSataPtssFallback(PtssContext *Context);

// PCIe passes: root-port lane entries and direct-indexed entries, normal and fallback as above.
VOID EFIAPI ApplyPcieRpPtss(PtssContext *Context);
VOID EFIAPI ApplyPcieDirectPtss(PtssContext *Context);
VOID EFIAPI ApplyPcieRpPtssFallback(PtssContext *Context);
VOID EFIAPI ApplyPcieDirectPtssFallback(PtssContext *Context);

// Shared pass bodies. Secondary selects sSATA; Fallback selects the fallback variant.
VOID EFIAPI ApplySataControllerPtss(PtssContext *Context, BOOLEAN Secondary, BOOLEAN Fallback);
VOID EFIAPI ApplyPcieRootPortPtssPass(PtssContext *Context, BOOLEAN Fallback);
VOID EFIAPI ApplyPcieDirectPtssPass(PtssContext *Context, BOOLEAN Fallback);

// Register dispatch of one matched entry onto one lane record. Unhandled offsets and masks are
// reported at the error level and write nothing.
VOID EFIAPI ApplySataLanePtssEntry(const HsioPtssEntry *Entry, SataLanePtssRecord *Record,
                                   BOOLEAN Fallback);
VOID EFIAPI ApplyPcieLanePtssEntry(const HsioPtssEntry *Entry, PcieLanePtssRecord *Record);

// TRUE for direct-indexed PCIe entries (register port 0xEB or 0x10).
BOOLEAN EFIAPI IsDirectPciePtssEntry(const HsioPtssEntry *Entry);

// The error line for a matched entry whose offset or mask the dispatch cannot place.
VOID EFIAPI ReportIncompatiblePtssEntry();

// Word with the setting at EnableBit written: enable bit set, the Width value bits above it
// replaced by Value.
UINT32 EFIAPI SetPtssSetting(UINT32 Word, UINT32 EnableBit, UINT32 Width, UINT32 Value);

}  // extern "C"
