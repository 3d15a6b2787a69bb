// The board's HSIO tuning end to end: table selection, topology propagation, and the SATA,
// sSATA and PCIe passes writing the policy, driven through whole boots and direct calls.
#include "board_fixture.h"
#include "bytes.h"

namespace peiboard::testing {
namespace {

using Words3 = std::array<uint32_t, 3>;
using Words4 = std::array<uint32_t, 4>;

constexpr Words3 kTunedSata{0x00244283, 0x0BE040E1, 0x00000051};
constexpr const char* kUnknownBoard = "PTSS Settings for unknown board will be applied\n";
constexpr const char* kIncompatible =
    "ERROR! PTSS programming: The PTSS table offset and/or mask are not compatible with the BIOS "
    "Code.\n";

PtssEntryConfig entry(uint8_t port, uint8_t lane, uint8_t mode, uint16_t offset, uint32_t value,
                      uint32_t keep, uint16_t topology, uint16_t board) {
  return {port, lane, mode, offset, value, keep, topology, board};
}

class PtssTest : public BoardTest {
 protected:
  RunResult boot() {
    RunResult r = board().boot();
    EXPECT_FALSE(r.fault) << r.fault->kind << " in " << r.fault->routine;
    return r;
  }
  size_t count(const std::string& line) {
    const auto p = prints();
    return static_cast<size_t>(std::count(p.begin(), p.end(), line));
  }
  bool printed(const std::string& line) { return count(line) > 0; }
  void only_entries(std::vector<PtssEntryConfig> entries) { scenario.ptss.entries = entries; }
};

TEST_F(PtssTest, DefaultBoardTunesEverySataAndSecondarySataPort) {
  const RunResult r = boot();
  for (const auto& record : r.policy.sata) EXPECT_EQ(record, kTunedSata);
  for (const auto& record : r.policy.ssata) EXPECT_EQ(record, kTunedSata);
  for (const auto& record : r.policy.pcie_rp) EXPECT_EQ(record, Words4{});
  for (const auto& record : r.policy.pcie_direct) EXPECT_EQ(record, Words4{});
  EXPECT_FALSE(printed(kUnknownBoard));
  EXPECT_EQ(count("PCIE Port 0 StrapFuseCfg Value = 0\n"), 1u);
  EXPECT_EQ(count("PCIE Port 16 StrapFuseCfg Value = 0\n"), 1u);
  EXPECT_EQ(count("PCIE PTSS Assigned RP 19 Topology = 0\n"), 1u);
}

TEST_F(PtssTest, TopologyAndBoardIdMustMatch) {
  scenario.setup.sata_topology[0] = 1;
  scenario.setup.ssata_topology[3] = 1;
  RunResult r = boot();
  EXPECT_EQ(r.policy.sata[0], Words3{});
  EXPECT_EQ(r.policy.sata[1], kTunedSata);
  EXPECT_EQ(r.policy.ssata[3], Words3{});
  EXPECT_EQ(r.policy.ssata[2], kTunedSata);

  scenario = default_scenario();
  scenario.platform_info.board_id = 13;
  make_board();
  r = boot();
  EXPECT_EQ(r.policy, r.policy_before);
  EXPECT_TRUE(printed(kUnknownBoard));
}

TEST_F(PtssTest, BitsOutsideTheSettingsKeepTheirContent) {
  scenario.policy.sata[0] = {0xF0000000, 0xF0000000, 0xFFFFFF80};
  const RunResult r = boot();
  EXPECT_EQ(r.policy.sata[0], (Words3{0xF0244283, 0xFBE040E1, 0xFFFFFFD1}));
}

TEST_F(PtssTest, SteppingWithoutATableStillLogsTheTopology) {
  scenario.pch.lpc_revision_id = 0x01;
  const RunResult r = boot();
  EXPECT_EQ(r.policy, r.policy_before);
  EXPECT_TRUE(printed("Cannot find PTSS table for this PCH Stepping\n"));
  const auto lines = assert_lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), 182u), lines.end());
  EXPECT_TRUE(printed("PCIE Port 0 StrapFuseCfg Value = 0\n"));
  EXPECT_TRUE(printed("PCIE PTSS Setup RP 0 Topology = 0\n"));
  EXPECT_TRUE(printed(kUnknownBoard));
}

TEST_F(PtssTest, FirstServerSteppingNeverAsksTheClockingMode) {
  scenario.pch.lpc_revision_id = 0x00;
  boot();
  EXPECT_FALSE(printed("[ME] PeiGetCurrenClockingMode\n"));
}

// Each of the five tables, reached through its stepping and clocking mode, tunes every SATA and
// sSATA port of the default board.
TEST_F(PtssTest, EveryTableTunesTheWholeBoard) {
  for (auto [revision, raw] : std::vector<std::pair<uint8_t, uint8_t>>{
           {0x00, 0x00}, {0x02, 0x10}, {0x04, 0x12}, {0x08, 0x11}, {0x09, 0x02}}) {
    scenario.pch.lpc_revision_id = revision;
    scenario.me_icc.clocking_mode = raw;
    make_board();
    const RunResult r = boot();
    for (const auto& record : r.policy.sata) EXPECT_EQ(record, kTunedSata) << int{revision};
    for (const auto& record : r.policy.ssata) EXPECT_EQ(record, kTunedSata) << int{revision};
  }
}

// SelectPtssTable asked directly: steppings 0x30 to 0x35 have tables, the clocking mode picks
// between the two of a stepping group, and only External (raw codes 0x02 and 0x12) counts.
TEST_F(PtssTest, TableChoicePerSteppingAndClockingMode) {
  struct Mode {
    uint8_t raw;
    uint32_t response;  // a non-zero ICC response fails the query
    bool external;
  };
  for (const Mode m :
       {Mode{0x00, 0, false}, Mode{0x10, 0, false}, Mode{0x01, 0, false}, Mode{0x11, 0, false},
        Mode{0x02, 0, true}, Mode{0x12, 0, true}, Mode{0x12, 5, false}}) {
    scenario.me_icc.clocking_mode = m.raw;
    scenario.me_icc.reply_response = m.response;
    make_board();
    Board& b = board();
    const auto table = [&](const char* name) { return b.symbol(name); };
    const std::string label =
        "raw code " + std::to_string(m.raw) + " response " + std::to_string(m.response);
    EXPECT_EQ(call("SelectPtssTable", {0x30}), table("PtssTableA")) << label;
    for (uint32_t stepping : {0x31u, 0x32u, 0x33u}) {
      EXPECT_EQ(call("SelectPtssTable", {stepping}),
                table(m.external ? "PtssTableC" : "PtssTableB"))
          << label << " stepping " << stepping;
    }
    for (uint32_t stepping : {0x34u, 0x35u}) {
      EXPECT_EQ(call("SelectPtssTable", {stepping}),
                table(m.external ? "PtssTableE" : "PtssTableD"))
          << label << " stepping " << stepping;
    }
    for (uint32_t stepping : {0x2Fu, 0x36u, 0x00u, 0x04u, 0x23u}) {
      EXPECT_EQ(call("SelectPtssTable", {stepping}), 0u) << label << " stepping " << stepping;
    }
  }
}

TEST_F(PtssTest, BuiltInTablesHoldTheBoardsFiftySixEntries) {
  const std::array<uint16_t, 4> offset{0x098, 0x0A0, 0x150, 0x154};
  const std::array<uint32_t, 4> value{0x15282F00, 0x00300014, 0x083F3F3F, 0x00C00102};
  const std::array<uint32_t, 4> keep{0xFFC0C0C0, 0xC0C0C0FF, 0xC0FFFFFF, 0xFFFFC0C0};
  std::vector<uint8_t> expected;
  for (uint32_t k = 0; k < 56; ++k) {
    const auto e = ptss_entry_bytes(entry(0xA9, static_cast<uint8_t>(12 + k / 4), 2, offset[k % 4],
                                          value[k % 4], keep[k % 4], 0, 14));
    expected.insert(expected.end(), e.begin(), e.end());
  }
  for (const char* table : {"PtssTableA", "PtssTableB", "PtssTableC", "PtssTableD", "PtssTableE"}) {
    const uint32_t descriptor = board().symbol(table);
    EXPECT_EQ(mem().read32(descriptor + 4), 56u) << table;
    EXPECT_EQ(mem().read(mem().read32(descriptor), 56 * 20), expected) << table;
  }
}

TEST_F(PtssTest, ExternalClockingSelectsTheOtherTable) {
  // Empty only the tables used with External clocking: the mode then decides the outcome.
  for (uint8_t raw : {uint8_t{0x02}, uint8_t{0x00}}) {
    scenario.me_icc.clocking_mode = raw;
    make_board();
    for (const char* table : {"PtssTableC", "PtssTableE"}) {
      mem().write32(board().symbol(table) + 4, 0);
    }
    const RunResult r = boot();
    EXPECT_EQ(r.policy.sata[0], raw == 0x02 ? Words3{} : kTunedSata) << int{raw};
  }
}

TEST_F(PtssTest, LaneGroupingSpreadsTheFirstPortsTopology) {
  scenario.setup.pcie_topology = {5, 1, 2, 3};
  const std::vector<std::vector<int>> assigned{
      {5, 1, 2, 3}, {5, 5, 2, 3}, {5, 5, 2, 2}, {5, 5, 5, 5}};
  for (uint32_t grouping = 0; grouping < 4; ++grouping) {
    scenario.pch.strap_fuse_cfg[0] = grouping << 14 | 0xFFFF3FFF;  // other bits do not matter
    make_board();
    boot();
    EXPECT_TRUE(printed("PCIE Port 0 StrapFuseCfg Value = " + std::to_string(grouping) + "\n"));
    for (int rp = 0; rp < 4; ++rp) {
      EXPECT_TRUE(printed("PCIE PTSS Setup RP " + std::to_string(rp) + " Topology = " +
                          std::to_string(scenario.setup.pcie_topology[rp]) + "\n"));
      EXPECT_TRUE(printed("PCIE PTSS Assigned RP " + std::to_string(rp) +
                          " Topology = " + std::to_string(assigned[grouping][rp]) + "\n"))
          << "grouping " << grouping << " port " << rp;
    }
  }
}

TEST_F(PtssTest, EachControllerReadsItsOwnFirstRootPort) {
  // Controller 1's first root port is function 4 of device 28 on this board, not function 0.
  scenario.pch.strap_fuse_cfg = {0, 1u << 14, 2u << 14, 3u << 14, 1u << 14};
  for (uint8_t rp = 0; rp < 20; ++rp)
    scenario.setup.pcie_topology[rp] = static_cast<uint8_t>(10 + rp);
  boot();
  for (auto [first, grouping] :
       std::vector<std::pair<int, int>>{{0, 0}, {4, 1}, {8, 2}, {12, 3}, {16, 1}}) {
    EXPECT_TRUE(printed("PCIE Port " + std::to_string(first) +
                        " StrapFuseCfg Value = " + std::to_string(grouping) + "\n"))
        << first;
  }
  const std::array<int, 20> assigned{10, 11, 12, 13, 14, 14, 16, 17, 18, 18,
                                     20, 20, 22, 22, 22, 22, 26, 26, 28, 29};
  for (int rp = 0; rp < 20; ++rp) {
    EXPECT_TRUE(printed("PCIE PTSS Assigned RP " + std::to_string(rp) +
                        " Topology = " + std::to_string(assigned[rp]) + "\n"))
        << rp;
  }
}

TEST_F(PtssTest, LpPartReadsThreeControllersAndSeriesThreeNone) {
  scenario.pch.lpc_device_id = 0x9D48;
  scenario.pch.lpc_revision_id = 0x10;
  boot();
  EXPECT_TRUE(printed("PCIE Port 8 StrapFuseCfg Value = 0\n"));
  EXPECT_FALSE(printed("PCIE Port 12 StrapFuseCfg Value = 0\n"));
  EXPECT_TRUE(printed("PCIE PTSS Assigned RP 11 Topology = 0\n"));
  EXPECT_FALSE(printed("PCIE PTSS Assigned RP 12 Topology = 0\n"));

  scenario.pch.lpc_device_id = 0xA14C;
  make_board();
  boot();
  for (const auto& line : prints()) {
    EXPECT_EQ(line.find("PCIE"), std::string::npos) << line;
  }
}

TEST_F(PtssTest, KeepMaskThatProgramsNothingStillCounts) {
  only_entries({entry(0xA9, 18, 2, 0x0A0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 14)});
  const RunResult r = boot();
  EXPECT_EQ(r.policy, r.policy_before);
  EXPECT_FALSE(printed(kUnknownBoard)) << "a matched entry counts even if it writes nothing";
  EXPECT_FALSE(printed(kIncompatible));
}

TEST_F(PtssTest, UnhandledOffsetsAndMasksAreReportedPerEntryAndPort) {
  only_entries({entry(0xA9, 18, 2, 0x150, 0, 0xFFFFFFFF, 0, 14),
                entry(0xA9, 18, 2, 0x0A4, 0, 0, 0, 14), entry(0xA9, 19, 2, 0x155, 0, 0, 0, 14)});
  const RunResult r = boot();
  EXPECT_EQ(count(kIncompatible), 3u);
  EXPECT_EQ(r.policy, r.policy_before);
  EXPECT_FALSE(printed(kUnknownBoard));
}

TEST_F(PtssTest, FallbackSataHandlesFewerRegisters) {
  scenario.platform_info.board_id = 13;
  only_entries({entry(0xA9, 18, 2, 0x098, 0x15282F00, 0xFFC0C0C0, 0, 0xFF),
                entry(0xA9, 18, 2, 0x0A0, 0x3F3F3F3F, 0xC0C0C0FF, 0, 0xFF),
                entry(0xA9, 18, 2, 0x154, 0x00C00102, 0xFFFFC0C0, 0, 0xFF),
                entry(0xA9, 18, 2, 0x150, 0x083F3F3F, 0xC0FFFFFF, 0, 0xFF)});
  const RunResult r = boot();
  EXPECT_TRUE(printed(kUnknownBoard));
  EXPECT_EQ(count(kIncompatible), 2u) << "0x098 and 0x154 are not for an unknown board";
  // Settings 4 and 5 from 0x0A0 and setting 3 from 0x150; setting 6 is left alone.
  EXPECT_EQ(r.policy.sata[0],
            (Words3{1u << 21 | 0x3Fu << 22 | 1u << 14 | 0x08u << 15, 1u | 0x3Fu << 1, 0}));
}

TEST_F(PtssTest, FallbackReachesSecondarySataAndRootPorts) {
  scenario.platform_info.board_id = 13;
  only_entries({entry(0xA9, 12, 2, 0x150, 0x2A000000, 0, 0, 0xFF),            // sSATA port 0
                entry(0xA9, 6, 0, 0x1A4, 0x00000001, 0xFF000000, 0, 0xFF)});  // root port 0
  const RunResult r = boot();
  EXPECT_TRUE(printed(kUnknownBoard));
  EXPECT_EQ(r.policy.ssata[0], (Words3{1u << 14 | 0x2Au << 15, 0, 0}));
  EXPECT_EQ(r.policy.pcie_rp[0], (Words4{0, 0, 0, 0x3}));
}

TEST_F(PtssTest, SataEntriesNeedTheirLaneAndTheSataLaneMode) {
  only_entries({entry(0xA9, 18, 0, 0x150, 0x3F000000, 0, 0, 14),  // PCIe lane mode
                entry(0xA9, 18, 1, 0x150, 0x3F000000, 0, 0, 14),  // modes 1 and 3 never match
                entry(0xA9, 18, 3, 0x150, 0x3F000000, 0, 0, 14),
                entry(0xA9, 19, 2, 0x150, 0x2A000000, 0, 0, 14)});  // SATA port 1's lane
  const RunResult r = boot();
  PolicyConfig expected = r.policy_before;
  expected.sata[1] = {1u << 14 | 0x2Au << 15, 0, 0};
  EXPECT_EQ(r.policy, expected);
  EXPECT_FALSE(printed(kUnknownBoard));
}

TEST_F(PtssTest, PortsWhoseLaneIsNotTheirsAreSkipped) {
  // SATA ports 4 to 7 and root ports 6 to 15 find their lanes owned by another controller; an
  // entry for lane 0 must not reach them.
  scenario.pch.lane_owner = {0x00111111, 0x22220000, 0x00222222, 0x00000000};
  only_entries({entry(0xA9, 0, 2, 0x150, 0x3F000000, 0, 0, 14),
                entry(0xA9, 0, 0, 0x1A4, 0x00000001, 0xFF000000, 0, 14)});
  const RunResult r = boot();
  EXPECT_EQ(r.policy, r.policy_before);
  EXPECT_TRUE(printed(kUnknownBoard)) << "nothing matched";
}

TEST_F(PtssTest, SecondarySataPortsWhoseLaneIsNotSataAreSkipped) {
  // Lane 13, the second sSATA port's, belongs to PCIe: that port is passed over quietly, the
  // ports before and after it are tuned.
  scenario.pch.lane_owner[1] = 0x22020000;
  // The lane-0 entry must not reach it: that is where a lookup that failed would look.
  only_entries({entry(0xA9, 12, 2, 0x150, 0x3F000000, 0, 0, 14),
                entry(0xA9, 13, 2, 0x150, 0x3F000000, 0, 0, 14),
                entry(0xA9, 14, 2, 0x150, 0x3F000000, 0, 0, 14),
                entry(0xA9, 0, 2, 0x154, 0x00003F3F, 0, 0, 14)});
  const RunResult r = boot();
  PolicyConfig expected = r.policy_before;
  expected.ssata[0][0] = 0x001FC000;
  expected.ssata[2][0] = 0x001FC000;
  EXPECT_EQ(r.policy, expected);
  EXPECT_FALSE(printed("Specyfied Lane Index is not owned by SATA!\n"));
  EXPECT_FALSE(printed(kUnknownBoard));
}

TEST_F(PtssTest, DirectAndLaneEntriesKeepToTheirOwnRecords) {
  // Lanes 6 to 8 belong to root ports 0 to 2 on this board.
  only_entries({entry(0xEB, 6, 0, 0x1A4, 0x000001, 0xFF000000, 0, 14),    // direct record 6
                entry(0x10, 7, 0, 0x1A4, 0x000002, 0xFF000000, 0, 14),    // direct record 7
                entry(0xA9, 8, 0, 0x1A4, 0x000003, 0xFF000000, 0, 14)});  // root port 2
  const RunResult r = boot();
  PolicyConfig expected = r.policy_before;
  expected.pcie_direct[6] = {0, 0, 0, 0x3};
  expected.pcie_direct[7] = {0, 0, 0, 0x5};
  expected.pcie_rp[2] = {0, 0, 0, 0x7};
  EXPECT_EQ(r.policy, expected);
}

TEST_F(PtssTest, RootPortEntriesNeedThePcieLaneModeAndTheBoard) {
  only_entries({entry(0xA9, 6, 2, 0x1A4, 1, 0xFF000000, 0, 14),    // SATA lane mode
                entry(0xA9, 6, 1, 0x1A4, 1, 0xFF000000, 0, 14),    // lane mode 1
                entry(0xA9, 6, 0, 0x1A4, 1, 0xFF000000, 0, 13),    // another board
                entry(0xA9, 7, 0, 0x1A4, 1, 0xFF000000, 0, 14)});  // root port 1
  const RunResult r = boot();
  PolicyConfig expected = r.policy_before;
  expected.pcie_rp[1] = {0, 0, 0, 0x3};
  EXPECT_EQ(r.policy, expected);
  EXPECT_FALSE(printed(kUnknownBoard)) << "the root-port entry counts";
}

TEST_F(PtssTest, DirectEntriesNeedTheirIndexThePcieLaneModeAndTheBoard) {
  only_entries({entry(0x10, 5, 0, 0x1A4, 1, 0xFF000000, 0, 14),    // record 5
                entry(0x10, 6, 2, 0x1A4, 1, 0xFF000000, 0, 14),    // SATA lane mode
                entry(0xEB, 7, 0, 0x1A4, 1, 0xFF000000, 0, 13)});  // another board
  const RunResult r = boot();
  PolicyConfig expected = r.policy_before;
  expected.pcie_direct[5] = {0, 0, 0, 0x3};
  EXPECT_EQ(r.policy, expected);
}

TEST_F(PtssTest, LastRootPortIsVisited) {
  scenario.pch.lane_owner[3] = 0x00000002;  // lane 25 PCIe: root port 19
  only_entries({entry(0xA9, 25, 0, 0x1A4, 1, 0xFF000000, 0, 14)});
  const RunResult r = boot();
  EXPECT_EQ(r.policy.pcie_rp[19], (Words4{0, 0, 0, 0x3}));
}

TEST_F(PtssTest, DirectEntryIgnoresTopologyAndTheRootPortCount) {
  scenario.setup.pcie_topology.fill(9);
  only_entries({entry(0x10, 19, 0, 0x1A4, 0x00123456, 0xFF000000, 7, 14),
                entry(0xEB, 20, 0, 0x1A4, 0x00123456, 0xFF000000, 7, 14)});
  const RunResult r = boot();
  EXPECT_EQ(r.policy.pcie_direct[19], (Words4{0, 0, 0, 0x2468AD}));
  EXPECT_FALSE(printed(kUnknownBoard));
  EXPECT_EQ(mem().read(ram::kPolicy + records::kPcieDirect + 20 * records::kPcieStride, 16),
            std::vector<uint8_t>(16, 0))
      << "index 20 is past the last record";

  // No stepping of a 12-port part has a table, so the pass is called directly with such a
  // context: the direct records do not depend on the root-port count.
  make_board();
  Board& b = board();
  std::vector<uint8_t> context(48, 0);
  put32(context, 0, ram::kSetup);
  put32(context, 4, ram::kPolicy);
  put32(context, 8, mem().read32(b.symbol("PtssTableB")));
  put32(context, 12, mem().read32(b.symbol("PtssTableB") + 4));
  context[16] = 14;  // CurrentBoardId
  context[20] = 12;  // PcieRootPortCount
  const uint32_t at = b.scratch_bytes(context, 4);
  call("ApplyPcieDirectPtss", {at});
  EXPECT_EQ(b.read_policy().pcie_direct[19], (Words4{0, 0, 0, 0x2468AD}));
  EXPECT_EQ(mem().read32(at + 44), 1u) << "one entry applied and counted";
}

TEST_F(PtssTest, LaneEntryReachesTheRootPortOfItsLane) {
  scenario.pch.lane_owner[2] = 0x22220222;  // lane 19 (nibble 3) owned by PCIe
  scenario.setup.pcie_topology[13] = 4;
  only_entries({entry(0xA9, 19, 0, 0x1A4, 0x00123456, 0xFF000000, 4, 14)});
  const RunResult r = boot();
  EXPECT_EQ(r.policy.pcie_rp[13], (Words4{0, 0, 0, 0x2468AD}));
}

TEST_F(PtssTest, PcieSettingOneTakesBit21OnlyWhenNotKept) {
  scenario.pch.lane_owner[0] = 0x00000000;  // lane 6: root port 0
  for (auto [keep, word0] :
       std::vector<std::pair<uint32_t, uint32_t>>{{0x00000000, 0x7F}, {0x00200000, 0x3F}}) {
    only_entries({entry(0xA9, 6, 0, 0x164, 0x003F0000, keep, 0, 14)});
    make_board();
    const RunResult r = boot();
    EXPECT_EQ(r.policy.pcie_rp[0][0], word0) << std::hex << keep;
  }
}

TEST_F(PtssTest, PcieFieldsAndTheirMaskConditions) {
  scenario.pch.lane_owner[0] = 0x00000000;
  only_entries({entry(0xA9, 6, 0, 0x19C, 0x007C0000, 0, 0, 14),
                entry(0xA9, 6, 0, 0x1A0, 0xAB000000, 0, 0, 14),
                entry(0xA9, 6, 0, 0x11C, 0xF8000000, 0x07FFFFFF, 0, 14),
                entry(0xA9, 6, 0, 0x19C, 0x007C0000, 0x00040000, 0, 14)});
  const RunResult r = boot();
  EXPECT_EQ(r.policy.pcie_rp[0],
            (Words4{0, 0, 1u | 0x1Fu << 1 | 1u << 6 | 0xABu << 7, 1u << 25 | 0x1Fu << 26}));
  EXPECT_EQ(count(kIncompatible), 1u);
}

TEST_F(PtssTest, RootPortUsesItsAssignedTopology) {
  scenario.pch.lane_owner[0] = 0x00000000;  // lane 7: root port 1
  scenario.pch.strap_fuse_cfg[0] = 3u << 14;
  scenario.setup.pcie_topology = {2, 0, 0, 0};
  only_entries({entry(0xA9, 7, 0, 0x1A4, 0x1, 0xFF000000, 2, 14),
                entry(0xA9, 7, 0, 0x164, 0x003F0000, 0, 0, 14)});
  const RunResult r = boot();
  EXPECT_EQ(r.policy.pcie_rp[1], (Words4{0, 0, 0, 0x3}));
}

TEST_F(PtssTest, FallbackDirectRunsOnlyWhenNothingMatched) {
  const auto fallback = entry(0xEB, 0, 0, 0x11C, 0xF8000000, 0x07FFFFFF, 0, 0xFF);
  scenario.platform_info.board_id = 13;
  only_entries({fallback});
  RunResult r = boot();
  EXPECT_TRUE(printed(kUnknownBoard));
  EXPECT_EQ(r.policy.pcie_direct[0][3], 0x7E000000u);

  scenario.platform_info.board_id = 0xFF;
  make_board();
  r = boot();
  EXPECT_FALSE(printed(kUnknownBoard)) << "with board id 0xFF the normal pass applies it";
  EXPECT_EQ(r.policy.pcie_direct[0][3], 0x7E000000u);
}

// The register dispatch on one entry and one record, called directly: a setting is written only
// when the entry programs every bit of its source field.
class DispatchTest : public BoardTest {
 protected:
  uint32_t entry_at(uint16_t offset, uint32_t value, uint32_t keep) {
    return board().scratch_bytes(ptss_entry_bytes(entry(0, 0, 0, offset, value, keep, 0, 0)), 4);
  }
  Words3 sata(uint16_t offset, uint32_t keep, bool fallback = false) {
    const uint32_t record = board().scratch(44, 4);
    mem().write(record, std::vector<uint8_t>(44, 0));
    call("ApplySataLanePtssEntry", {entry_at(offset, 0x3F3F3F3F, keep), record, fallback});
    return {mem().read32(record), mem().read32(record + 4), mem().read32(record + 8)};
  }
  Words4 pcie(uint16_t offset, uint32_t keep, uint32_t value = 0xFFFFFFFF) {
    const uint32_t record = board().scratch(64, 4);
    mem().write(record, std::vector<uint8_t>(64, 0));
    call("ApplyPcieLanePtssEntry", {entry_at(offset, value, keep), record});
    return {mem().read32(record), mem().read32(record + 4), mem().read32(record + 8),
            mem().read32(record + 12)};
  }
  size_t incompatible() {
    const auto p = prints();
    return static_cast<size_t>(std::count(p.begin(), p.end(), kIncompatible));
  }
};

TEST_F(DispatchTest, SataSettingNeedsEveryBitOfItsSourceField) {
  // RegisterValue 0x3F3F3F3F: a written setting is its enable bit and six ones.
  EXPECT_EQ(sata(0x098, 0), (Words3{0, 0x0FFFC000, 0x7F}));
  EXPECT_EQ(sata(0x098, 1u << 5), (Words3{0, 0x0FE00000, 0x7F})) << "setting 7 kept";
  EXPECT_EQ(sata(0x098, 1u << 13), (Words3{0, 0x001FC000, 0x7F})) << "setting 8 kept";
  EXPECT_EQ(sata(0x098, 1u << 21), (Words3{0, 0x0FFFC000, 0})) << "setting 9 kept";
  EXPECT_EQ(sata(0x0A0, 1u << 13), (Words3{0, 0x3FFF, 0})) << "setting 4 kept";
  EXPECT_EQ(sata(0x0A0, 1u << 21), (Words3{0x0FE00000, 0x3F80, 0})) << "setting 5 kept";
  EXPECT_EQ(sata(0x0A0, 1u << 29), (Words3{0x0FE00000, 0x7F, 0})) << "setting 6 kept";
  EXPECT_EQ(sata(0x154, 1u << 5), (Words3{0x7F, 0, 0})) << "setting 2 kept";
  EXPECT_EQ(sata(0x154, 1u << 13), (Words3{0x3F80, 0, 0})) << "setting 1 kept";
  EXPECT_EQ(sata(0x150, 1u << 30), (Words3{0x1FC000, 0, 0})) << "bit 30 is outside the field";
  EXPECT_EQ(incompatible(), 0u);
  EXPECT_EQ(sata(0x150, 1u << 29), (Words3{}));
  EXPECT_EQ(incompatible(), 1u) << "setting 3 is the whole of 0x150";
}

TEST_F(DispatchTest, PcieSettingConditionCoversExactlyItsField) {
  // Each condition's lowest and highest bit kept: the error, nothing written.
  for (auto [offset, keep] : std::vector<std::pair<uint16_t, uint32_t>>{{0x164, 1u << 16},
                                                                        {0x164, 1u << 20},
                                                                        {0x19C, 1u << 18},
                                                                        {0x19C, 1u << 22},
                                                                        {0x1A0, 1u << 24},
                                                                        {0x1A0, 1u << 31},
                                                                        {0x1A4, 1u << 0},
                                                                        {0x1A4, 1u << 23},
                                                                        {0x11C, 1u << 27},
                                                                        {0x11C, 1u << 31}}) {
    const size_t before = incompatible();
    EXPECT_EQ(pcie(offset, keep), Words4{}) << std::hex << offset << " keep " << keep;
    EXPECT_EQ(incompatible(), before + 1) << std::hex << offset << " keep " << keep;
  }
  // The bits next to each condition kept: the setting is written.
  const size_t errors = incompatible();
  EXPECT_EQ(pcie(0x164, 1u << 15), (Words4{0x7F, 0, 0, 0}));
  EXPECT_EQ(pcie(0x164, 1u << 21), (Words4{0x3F, 0, 0, 0})) << "bit 21 kept reads as 0";
  EXPECT_EQ(pcie(0x19C, 1u << 17), (Words4{0, 0, 0x3F, 0}));
  EXPECT_EQ(pcie(0x19C, 1u << 23), (Words4{0, 0, 0x3F, 0}));
  EXPECT_EQ(pcie(0x1A0, 1u << 23), (Words4{0, 0, 0x7FC0, 0}));
  EXPECT_EQ(pcie(0x1A4, 1u << 24), (Words4{0, 0, 0, 0x1FFFFFF}));
  EXPECT_EQ(pcie(0x11C, 1u << 26), (Words4{0, 0, 0, 0x7E000000}));
  EXPECT_EQ(incompatible(), errors);
}

TEST_F(DispatchTest, PcieOffsetsOtherThanTheFiveAreReported) {
  // Every neighbour of the five offsets, a SATA offset, both ends of the 16-bit range, and the
  // five with bit 15 set: reported once each, nothing written.
  std::vector<uint16_t> offsets{0x0000, 0x0098, 0x0150, 0xFFFF};
  for (uint16_t handled : std::vector<uint16_t>{0x11C, 0x164, 0x19C, 0x1A0, 0x1A4}) {
    offsets.push_back(static_cast<uint16_t>(handled - 1));
    offsets.push_back(static_cast<uint16_t>(handled + 1));
    offsets.push_back(static_cast<uint16_t>(handled | 0x8000));
  }
  for (uint16_t offset : offsets) {
    const size_t before = incompatible();
    EXPECT_EQ(pcie(offset, 0), Words4{}) << std::hex << offset;
    EXPECT_EQ(incompatible(), before + 1) << std::hex << offset;
  }
}

TEST_F(DispatchTest, SettingWordsKeepEveryBitOutsideTheField) {
  // SetPtssSetting(Word, EnableBit, Width, Value): the enable bit set, Width value bits above
  // it replaced by Value's low bits, every other bit kept.
  struct Case {
    uint32_t word, enable, width, value, expected;
  };
  for (const Case& c : std::vector<Case>{
           {0xFFFFFFFF, 14, 6, 0, 0xFFE07FFF},
           {0x00000000, 14, 6, 0x3F, 0x001FC000},
           {0x00000000, 0, 5, 0xFF, 0x0000003F},
           {0xAAAAAAAA, 6, 8, 0x5A, 0xAAAAAD6A},
           {0x00000000, 0, 24, 0xFFFFFFFF, 0x01FFFFFF},
           {0x80000001, 25, 5, 0x1F, 0xFE000001},
           {0x00000000, 25, 5, 0x20, 0x02000000},
       }) {
    EXPECT_EQ(call("SetPtssSetting", {c.word, c.enable, c.width, c.value}), c.expected)
        << std::hex << c.word << " " << c.enable << " " << c.width << " " << c.value;
  }
}

TEST_F(DispatchTest, DirectEntriesAreThoseOfTheTwoDirectPorts) {
  for (uint32_t port = 0; port < 256; ++port) {
    const uint32_t e = board().scratch_bytes(
        ptss_entry_bytes(entry(static_cast<uint8_t>(port), 0, 0, 0x1A4, 0, 0, 0, 14)), 4);
    EXPECT_EQ(call("IsDirectPciePtssEntry", {e}) & 0xFF, port == 0x10 || port == 0xEB ? 1u : 0u)
        << std::hex << port;
  }
}

TEST_F(DispatchTest, PcieValuesComeFromTheirOwnBits) {
  EXPECT_EQ(pcie(0x19C, 0, 0x00540000), (Words4{0, 0, 1u | 0x15u << 1, 0}));
  EXPECT_EQ(pcie(0x11C, 0, 0x80000000), (Words4{0, 0, 0, 1u << 25 | 0x10u << 26}));
  EXPECT_EQ(pcie(0x1A0, 0, 0x5A000000), (Words4{0, 0, 1u << 6 | 0x5Au << 7, 0}));
  EXPECT_EQ(pcie(0x164, 0, 0x00250000), (Words4{1u | 0x25u << 1, 0, 0, 0}));
  EXPECT_EQ(pcie(0x1A4, 0, 0x00A5A5A5), (Words4{0, 0, 0, 1u | 0xA5A5A5u << 1}));
}

TEST_F(PtssTest, SecondCallWritesTheSameValuesAgain) {
  const RunResult first = boot();
  const CallResult again = board().call("ApplyBoardPtssTables", {ram::kSetup, ram::kPolicy});
  EXPECT_TRUE(again.returned());
  EXPECT_EQ(board().read_policy(), first.policy);
}

}  // namespace
}  // namespace peiboard::testing
