// HSIO PTSS data: per-lane electrical settings of the PCH's high-speed I/O lanes, written as
// HSIO register values. The board compiles its tables in this format.
#pragma once

#include <Base.h>

// Lane modes an entry can be written for.
#define PTSS_LANE_MODE_PCIE 0
#define PTSS_LANE_MODE_SATA 2

// Entries of these register ports are direct-indexed PCIe entries: their Lane is an index into
// the 20 direct PCIe records instead of an HSIO lane number.
#define PTSS_DIRECT_PCIE_PORT_A 0xEB
#define PTSS_DIRECT_PCIE_PORT_B 0x10

// Board id of entries meant for a board that could not be identified.
#define PTSS_BOARD_ID_UNKNOWN 0xFF

struct HsioPtssEntry {
  UINT8 RegisterPort;
  UINT8 Lane;
  UINT8 LaneMode;
  UINT8 Reserved0;
  UINT16 RegisterOffset;
  UINT16 Reserved1;
  UINT32 RegisterValue;
  UINT32 KeepMask;  // 1 bits are left untouched by this entry
  UINT16 Topology;
  UINT16 BoardId;
};
static_assert(sizeof(HsioPtssEntry) == 20);
static_assert(OFFSET_OF(HsioPtssEntry, RegisterPort) == 0);
static_assert(OFFSET_OF(HsioPtssEntry, Lane) == 1);
static_assert(OFFSET_OF(HsioPtssEntry, LaneMode) == 2);
static_assert(OFFSET_OF(HsioPtssEntry, RegisterOffset) == 4);
static_assert(OFFSET_OF(HsioPtssEntry, RegisterValue) == 8);
static_assert(OFFSET_OF(HsioPtssEntry, KeepMask) == 12);
static_assert(OFFSET_OF(HsioPtssEntry, Topology) == 16);
static_assert(OFFSET_OF(HsioPtssEntry, BoardId) == 18);

// A table is its first entry and its entry count; entries are walked from index 0 upward.
struct PtssTable {
  const HsioPtssEntry *Entries;
  UINT32 Count;
};
static_assert(sizeof(PtssTable) == 8);
static_assert(OFFSET_OF(PtssTable, Count) == 4);
