// The passes that write matching PTSS entries into the policy's HSIO lane records. An entry
// counts as applied as soon as it matches, whether or not its mask lets a setting through.

#include <Library/DebugLib.h>
#include <Library/PchHsioLib.h>
#include <Library/SystemBoardPpiLib.h>

extern "C" {

UINT32 EFIAPI SetPtssSetting(UINT32 Word, UINT32 EnableBit, UINT32 Width, UINT32 Value) {
  UINT32 ValueMask = ((1u << Width) - 1) << (EnableBit + 1);
  return (Word & ~ValueMask) | BIT(EnableBit) | ((Value << (EnableBit + 1)) & ValueMask);
}

// Reported once per matched entry and record that the dispatch cannot place.
VOID EFIAPI ReportIncompatiblePtssEntry() {
  DEBUG_IF_ENABLED(DEBUG_ERROR,
                   "ERROR! PTSS programming: The PTSS table offset and/or mask are not compatible "
                   "with the BIOS Code.\n");
}

// SATA settings are six bits; a setting is written only when the entry programs its whole
// source field, so the value is the field of RegisterValue as it stands.
#define SATA_SETTING_BITS 6
#define SATA_SOURCE_FIELD(Shift) (0x3Fu << (Shift))
#define SATA_SETTING_PROGRAMMED(Entry, Shift) (((Entry)->KeepMask & SATA_SOURCE_FIELD(Shift)) == 0)
#define SATA_SETTING_VALUE(Entry, Shift) (((Entry)->RegisterValue >> (Shift)) & 0x3Fu)

VOID EFIAPI ApplySataLanePtssEntry(const HsioPtssEntry *Entry, SataLanePtssRecord *Record,
                                   BOOLEAN Fallback) {
  switch (Entry->RegisterOffset) {
    case 0x150:
      if (!SATA_SETTING_PROGRAMMED(Entry, 24)) {
        break;
      }
      Record->Word0 = SetPtssSetting(Record->Word0, 14, SATA_SETTING_BITS,
                                     SATA_SETTING_VALUE(Entry, 24));  // setting 3
      return;
    case 0x0A0:
      if (SATA_SETTING_PROGRAMMED(Entry, 8)) {
        Record->Word0 = SetPtssSetting(Record->Word0, 21, SATA_SETTING_BITS,
                                       SATA_SETTING_VALUE(Entry, 8));  // setting 4
      }
      if (SATA_SETTING_PROGRAMMED(Entry, 16)) {
        Record->Word1 = SetPtssSetting(Record->Word1, 0, SATA_SETTING_BITS,
                                       SATA_SETTING_VALUE(Entry, 16));  // setting 5
      }
      // The fallback tuning leaves this setting to the chipset default.
      if (!Fallback && SATA_SETTING_PROGRAMMED(Entry, 24)) {
        Record->Word1 = SetPtssSetting(Record->Word1, 7, SATA_SETTING_BITS,
                                       SATA_SETTING_VALUE(Entry, 24));  // setting 6
      }
      return;
    case 0x098:
      if (Fallback) {
        break;
      }
      if (SATA_SETTING_PROGRAMMED(Entry, 0)) {
        Record->Word1 = SetPtssSetting(Record->Word1, 14, SATA_SETTING_BITS,
                                       SATA_SETTING_VALUE(Entry, 0));  // setting 7
      }
      if (SATA_SETTING_PROGRAMMED(Entry, 8)) {
        Record->Word1 = SetPtssSetting(Record->Word1, 21, SATA_SETTING_BITS,
                                       SATA_SETTING_VALUE(Entry, 8));  // setting 8
      }
      if (SATA_SETTING_PROGRAMMED(Entry, 16)) {
        Record->Word2 = SetPtssSetting(Record->Word2, 0, SATA_SETTING_BITS,
                                       SATA_SETTING_VALUE(Entry, 16));  // setting 9
      }
      return;
    case 0x154:
      if (Fallback) {
        break;
      }
      if (SATA_SETTING_PROGRAMMED(Entry, 0)) {
        Record->Word0 = SetPtssSetting(Record->Word0, 7, SATA_SETTING_BITS,
                                       SATA_SETTING_VALUE(Entry, 0));  // setting 2
      }
      if (SATA_SETTING_PROGRAMMED(Entry, 8)) {
        Record->Word0 = SetPtssSetting(Record->Word0, 0, SATA_SETTING_BITS,
                                       SATA_SETTING_VALUE(Entry, 8));  // setting 1
      }
      return;
    default:
      break;
  }
  ReportIncompatiblePtssEntry();
}

// A PCIe entry writes at most one setting, taken from RegisterValue AND NOT KeepMask.
VOID EFIAPI ApplyPcieLanePtssEntry(const HsioPtssEntry *Entry, PcieLanePtssRecord *Record) {
  UINT32 KeepMask = Entry->KeepMask;
  UINT32 Value = Entry->RegisterValue & ~KeepMask;
  switch (Entry->RegisterOffset) {
    case 0x164:
      // Six value bits from a field whose condition covers only its low five: bit 21 passes only
      // when the entry programs it, and reads as 0 otherwise.
      if ((KeepMask & 0x001F0000u) == 0) {
        Record->Word0 = SetPtssSetting(Record->Word0, 0, 6, (Value >> 16) & 0x3F);
        return;
      }
      break;
    case 0x19C:
      if ((KeepMask & 0x007C0000u) == 0) {
        Record->Word2 = SetPtssSetting(Record->Word2, 0, 5, (Value >> 18) & 0x1F);
        return;
      }
      break;
    case 0x1A0:
      if ((KeepMask & 0xFF000000u) == 0) {
        Record->Word2 = SetPtssSetting(Record->Word2, 6, 8, (Value >> 24) & 0xFF);
        return;
      }
      break;
    case 0x1A4:
      if ((KeepMask & 0x00FFFFFFu) == 0) {
        Record->Word3 = SetPtssSetting(Record->Word3, 0, 24, Value & 0x00FFFFFF);
        return;
      }
      break;
    case 0x11C:
      if ((KeepMask & 0xF8000000u) == 0) {
        Record->Word3 = SetPtssSetting(Record->Word3, 25, 5, (Value >> 27) & 0x1F);
        return;
      }
      break;
    default:
      break;
  }
  ReportIncompatiblePtssEntry();
}

BOOLEAN EFIAPI IsDirectPciePtssEntry(const HsioPtssEntry *Entry) {
  return Entry->RegisterPort == PTSS_DIRECT_PCIE_PORT_A ||
         Entry->RegisterPort == PTSS_DIRECT_PCIE_PORT_B;
}

VOID EFIAPI ApplySataControllerPtss(PtssContext *Context, BOOLEAN Secondary, BOOLEAN Fallback) {
  UINT16 BoardId = Fallback ? (UINT16)PTSS_BOARD_ID_UNKNOWN : Context->CurrentBoardId;
  UINT32 PortCount = Secondary ? Context->SSataPortCount : Context->SataPortCount;
  for (UINT32 Port = 0; Port < PortCount; Port++) {
    UINT8 Lane = 0;
    EFI_STATUS Status =
        Secondary ? GetPchSecondarySataPortLane(Port, &Lane) : GetPchSataPortLane(Port, &Lane);
    if (EFI_ERROR(Status)) {
      continue;
    }
    UINT16 Topology =
        Secondary ? Context->Setup->SSataTopology[Port] : Context->Setup->SataTopology[Port];
    SataLanePtssRecord *Record = Secondary ? &Context->Policy->SSataPtssRecords[Port]
                                           : &Context->Policy->SataPtssRecords[Port];
    for (UINT32 Index = 0; Index < Context->Table.Count; Index++) {
      const HsioPtssEntry *Entry = &Context->Table.Entries[Index];
      if (Entry->Lane != Lane || Entry->LaneMode != PTSS_LANE_MODE_SATA ||
          Entry->Topology != Topology || Entry->BoardId != BoardId) {
        continue;
      }
      if (!Fallback) {
        Context->MatchedEntryCount++;
      }
      ApplySataLanePtssEntry(Entry, Record, Fallback);
    }
  }
}

VOID EFIAPI ApplyPcieRootPortPtssPass(PtssContext *Context, BOOLEAN Fallback) {
  UINT16 BoardId = Fallback ? (UINT16)PTSS_BOARD_ID_UNKNOWN : Context->CurrentBoardId;
  for (UINT32 RootPort = 0; RootPort < Context->PcieRootPortCount; RootPort++) {
    UINT8 Lane = 0;
    if (EFI_ERROR(GetPchPcieRpLane(RootPort, &Lane))) {
      continue;
    }
    UINT16 Topology = Context->AssignedPcieTopology[RootPort];
    PcieLanePtssRecord *Record = &Context->Policy->PcieRpPtssRecords[RootPort];
    for (UINT32 Index = 0; Index < Context->Table.Count; Index++) {
      const HsioPtssEntry *Entry = &Context->Table.Entries[Index];
      if (IsDirectPciePtssEntry(Entry)) {
        continue;
      }
      if (Entry->Lane != Lane || Entry->LaneMode != PTSS_LANE_MODE_PCIE ||
          Entry->Topology != Topology || Entry->BoardId != BoardId) {
        continue;
      }
      if (!Fallback) {
        Context->MatchedEntryCount++;
      }
      ApplyPcieLanePtssEntry(Entry, Record);
    }
  }
}

VOID EFIAPI ApplyPcieDirectPtssPass(PtssContext *Context, BOOLEAN Fallback) {
  UINT16 BoardId = Fallback ? (UINT16)PTSS_BOARD_ID_UNKNOWN : Context->CurrentBoardId;
  // All twenty direct records are visited whatever the root-port count; topology is not
  // compared for direct entries.
  for (UINT32 Record = 0; Record < PCH_PCIE_DIRECT_PTSS_RECORDS; Record++) {
    for (UINT32 Index = 0; Index < Context->Table.Count; Index++) {
      const HsioPtssEntry *Entry = &Context->Table.Entries[Index];
      if (!IsDirectPciePtssEntry(Entry)) {
        continue;
      }
      if (Entry->Lane != Record || Entry->LaneMode != PTSS_LANE_MODE_PCIE ||
          Entry->BoardId != BoardId) {
        continue;
      }
      if (!Fallback) {
        Context->MatchedEntryCount++;
      }
      ApplyPcieLanePtssEntry(Entry, &Context->Policy->PcieDirectPtssRecords[Record]);
    }
  }
}

VOID EFIAPI ApplySataPtss(PtssContext *Context) { ApplySataControllerPtss(Context, FALSE, FALSE); }

VOID EFIAPI ApplySSataPtss(PtssContext *Context) { ApplySataControllerPtss(Context, TRUE, FALSE); }

VOID EFIAPI ApplySataPtssFallback(PtssContext *Context) {
  ApplySataControllerPtss(Context, FALSE, TRUE);
}

VOID EFIAPI ApplySSataPtssFallback(PtssContext *Context) {
  ApplySataControllerPtss(Context, TRUE, TRUE);
}

VOID EFIAPI ApplyPcieRpPtss(PtssContext *Context) { ApplyPcieRootPortPtssPass(Context, FALSE); }

VOID EFIAPI ApplyPcieRpPtssFallback(PtssContext *Context) {
  ApplyPcieRootPortPtssPass(Context, TRUE);
}

VOID EFIAPI ApplyPcieDirectPtss(PtssContext *Context) { ApplyPcieDirectPtssPass(Context, FALSE); }

VOID EFIAPI ApplyPcieDirectPtssFallback(PtssContext *Context) {
  ApplyPcieDirectPtssPass(Context, TRUE);
}

}  // extern "C"
