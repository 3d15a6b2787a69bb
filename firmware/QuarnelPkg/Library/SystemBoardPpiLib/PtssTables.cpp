// The board's built-in PTSS data: lanes 12 to 25 (the sSATA lanes and, on an H-series PCH, the
// SATA lanes) tuned for board 14 with topology 0, four registers per lane.

#include <Library/SystemBoardPpiLib.h>

#define PTSS_BOARD_ID 14
#define PTSS_REGISTER_PORT 0xA9

#define PTSS_SATA_ENTRY(Lane, Offset, Value, KeepMask)                                       \
  {                                                                                          \
    PTSS_REGISTER_PORT, (Lane), PTSS_LANE_MODE_SATA, 0, (Offset), 0, (Value), (KeepMask), 0, \
        PTSS_BOARD_ID                                                                        \
  }

#define PTSS_SATA_LANE(Lane)                                  \
  PTSS_SATA_ENTRY(Lane, 0x098, 0x15282F00u, 0xFFC0C0C0u),     \
      PTSS_SATA_ENTRY(Lane, 0x0A0, 0x00300014u, 0xC0C0C0FFu), \
      PTSS_SATA_ENTRY(Lane, 0x150, 0x083F3F3Fu, 0xC0FFFFFFu), \
      PTSS_SATA_ENTRY(Lane, 0x154, 0x00C00102u, 0xFFFFC0C0u)

extern "C" {

const HsioPtssEntry PtssEntries[PTSS_TABLE_ENTRY_COUNT] = {
    PTSS_SATA_LANE(12), PTSS_SATA_LANE(13), PTSS_SATA_LANE(14), PTSS_SATA_LANE(15),
    PTSS_SATA_LANE(16), PTSS_SATA_LANE(17), PTSS_SATA_LANE(18), PTSS_SATA_LANE(19),
    PTSS_SATA_LANE(20), PTSS_SATA_LANE(21), PTSS_SATA_LANE(22), PTSS_SATA_LANE(23),
    PTSS_SATA_LANE(24), PTSS_SATA_LANE(25),
};

// The five tables have the same content, so they share one array. The descriptors are constants
// in read-only data; they are volatile so that every call reads them from the image, and a
// board's flash tool can point them at a table of its own without a rebuild.
const volatile PtssTable PtssTableA = {PtssEntries, PTSS_TABLE_ENTRY_COUNT};
const volatile PtssTable PtssTableB = {PtssEntries, PTSS_TABLE_ENTRY_COUNT};
const volatile PtssTable PtssTableC = {PtssEntries, PTSS_TABLE_ENTRY_COUNT};
const volatile PtssTable PtssTableD = {PtssEntries, PTSS_TABLE_ENTRY_COUNT};
const volatile PtssTable PtssTableE = {PtssEntries, PTSS_TABLE_ENTRY_COUNT};

}  // extern "C"
