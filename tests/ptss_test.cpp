// The board's HSIO tuning end to end: table selection, topology propagation, and the SATA,
// sSATA and PCIe passes writing the policy, driven through whole boots and direct calls.
#include "board_fixture.h"

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
  const RunResult r = boot();
  EXPECT_FALSE(printed("[ME] PeiGetCurrenClockingMode\n"));
  EXPECT_EQ(r.policy.sata[0], kTunedSata);
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
    scenario.pch.strap_fuse_cfg[0] = grouping << 14 | 0x3FFF;  // other bits do not matter
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
                entry(0xA9, 18, 2, 0x0A0, 0x3F3F3F3F, 0xC0C0C0FF, 0, 0xFF)});
  const RunResult r = boot();
  EXPECT_TRUE(printed(kUnknownBoard));
  EXPECT_EQ(count(kIncompatible), 1u);
  // Settings 4 and 5 from 0x0A0; setting 6 is left alone by the fallback pass.
  EXPECT_EQ(r.policy.sata[0], (Words3{1u << 21 | 0x3Fu << 22, 1u | 0x3Fu << 1, 0}));
}

TEST_F(PtssTest, DirectEntryIgnoresTopologyAndTheRootPortCount) {
  scenario.setup.pcie_topology.fill(9);
  only_entries({entry(0x10, 19, 0, 0x1A4, 0x00123456, 0xFF000000, 7, 14),
                entry(0xEB, 20, 0, 0x1A4, 0x00123456, 0xFF000000, 7, 14)});
  const RunResult r = boot();
  EXPECT_EQ(r.policy.pcie_direct[19], (Words4{0, 0, 0, 0x2468AD}));
  EXPECT_FALSE(printed(kUnknownBoard));

  // No stepping of a 12-port part has a table, so the pass is called directly with such a
  // context: the direct records do not depend on the root-port count.
  make_board();
  Board& b = board();
  std::vector<uint8_t> context(48, 0);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) context[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put32(0, ram::kSetup);
  put32(4, ram::kPolicy);
  put32(8, mem().read32(b.symbol("PtssTableB")));
  put32(12, mem().read32(b.symbol("PtssTableB") + 4));
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

TEST_F(PtssTest, SecondCallWritesTheSameValuesAgain) {
  const RunResult first = boot();
  const CallResult again = board().call("ApplyBoardPtssTables", {ram::kSetup, ram::kPolicy});
  EXPECT_TRUE(again.returned());
  EXPECT_EQ(board().read_policy(), first.policy);
}

}  // namespace
}  // namespace peiboard::testing
