// What a run shows: the JSON object's events and policy, the decoded lane records, and the
// comparison with a scenario's expectations.
#include "report.h"

#include "board_fixture.h"
#include "debug_fixture.h"
#include "format.h"

namespace peiboard::testing {
namespace {

class ReportTest : public BoardTest {
 protected:
  nlohmann::ordered_json run(bool trace = false) {
    result_ = board().boot();
    return run_json(board(), result_, trace);
  }
  RunResult result_;
};

TEST_F(ReportTest, UnsupportedRevisionShowsTheExactPrintThenLine167) {
  scenario.pch.lpc_revision_id = 0x01;
  const auto json = run();
  const auto& events = json["events"];
  auto it = std::find_if(events.begin(), events.end(), [](const auto& e) {
    return e["kind"] == "print" && e["text"] ==
                                       "Unsupported PCH Stepping. Supporting PCH stepping "
                                       "starting from PchSrvA0 and above\n";
  });
  ASSERT_NE(it, events.end());
  EXPECT_EQ((*it)["phase"], "chipset");
  EXPECT_EQ((*it)["level"], 0x80000000u);
  const auto& next = *std::next(it);
  EXPECT_EQ(next["kind"], "assert");
  EXPECT_EQ(next["line"], 167);
  EXPECT_EQ(next["file"], "ServerSktPkg/SouthClusterSrv/Library/PeiDxeSmmPchInfoLib/PchInfoLib");
}

TEST_F(ReportTest, PolicyArraysAlwaysHaveFullLength) {
  scenario.pch.lpc_device_id = 0x9D48;  // 3 SATA ports, 12 root ports
  scenario.pch.lpc_revision_id = 0x10;
  const auto json = run();
  EXPECT_EQ(json["policy"]["sata"].size(), 8u);
  EXPECT_EQ(json["policy"]["ssata"].size(), 6u);
  EXPECT_EQ(json["policy"]["pcie_rp"].size(), 20u);
  EXPECT_EQ(json["policy"]["pcie_direct"].size(), 20u);
  EXPECT_EQ(json["policy"]["pcie_rp"][19].size(), 4u);
  EXPECT_TRUE(json["fault"].is_null());
  EXPECT_EQ(json["notify_statuses"], nlohmann::ordered_json::array({0, 0}));
}

TEST_F(ReportTest, DefaultBoardJsonMatchesTheTunedRecords) {
  const auto json = run(true);
  EXPECT_EQ(json["policy"]["sata"][0], nlohmann::ordered_json::array({2376323, 199246049, 81}));
  EXPECT_EQ(json["entry_status"], 0);
  EXPECT_GT(json["stats"]["instructions"].get<uint64_t>(), 1000u);
  EXPECT_FALSE(json["trace"].empty());
  EXPECT_EQ(json["trace"][0]["phase"], "dispatch");
}

TEST_F(ReportTest, ChangedRecordsAreDecodedIntoSettings) {
  PolicyConfig before, after;
  after.sata[0] = {0x00000000, 0x00000000, 0x00000051};
  after.pcie_direct[19] = {0, 0, 0, 0x2468AD};
  const std::string text = policy_changes(before, after);
  // One row per changed record, each setting as enable:value, * where it changed; a column
  // is named by the PTSS register offset and value bits its setting comes from.
  EXPECT_EQ(text,
            "sata            154[13:8]  154[5:0]   150[29:24] 0A0[13:8]  0A0[21:16] 0A0[29:24]"
            " 098[5:0]   098[13:8]  098[21:16]\n"
            "sata[0]         0:00       0:00       0:00       0:00       0:00       0:00       0:00"
            "       0:00       1:28*\n"
            "pcie_direct     164[21:16] 19C[22:18] 1A0[31:24] 1A4[23:0]  11C[31:27]\n"
            "pcie_direct[19] 0:00       0:00       0:00       1:123456*  0:00\n");
  EXPECT_EQ(text.find("ssata"), std::string::npos) << "unchanged records are left out";
  EXPECT_EQ(text.find("pcie_rp"), std::string::npos);
}

TEST_F(ReportTest, CheckNamesEveryDifference) {
  run();
  ExpectConfig e;
  e.entry_status = 0;
  e.notify_statuses = std::vector<int64_t>{0, 0};
  e.assert_lines = std::vector<int64_t>{};
  e.prints_contain = {"Reinstall Descriptor Status = 0.\n"};
  EXPECT_TRUE(check_expectations(e, board(), result_).empty());

  e.entry_status = -1;  // null: the entry did not return
  e.prints_absent = {"Reinstall"};
  e.acpi_control = 0x00;
  std::array<std::array<uint32_t, 3>, 6> ssata{};
  e.ssata = ssata;
  const auto diffs = check_expectations(e, board(), result_);
  ASSERT_GE(diffs.size(), 4u);
  EXPECT_EQ(diffs[0], "entry_status: expected null, got 0");
  EXPECT_EQ(diffs[1], "console has: \"Reinstall\"");
  EXPECT_EQ(diffs[2].rfind("ssata[0] setting 1: expected 0:00, got 1:", 0), 0u) << diffs[2];
  EXPECT_EQ(diffs.back(), "pmc.acpi_control: expected 0x00, got 0x80");

  // A lane record differs per setting, in the report's enable:value form, and in the bits no
  // setting holds as whole words.
  ExpectConfig records;
  auto sata = result_.policy.sata;  // default board: sata[0] = {0x00244283, ..., 0x00000051}
  sata[0][0] ^= 1u << 8;            // the lowest value bit of setting 2
  sata[0][2] |= 1u << 31;           // a bit the module never writes
  records.sata = sata;
  EXPECT_EQ(check_expectations(records, board(), result_),
            (std::vector<std::string>{
                "sata[0] setting 2: expected 1:03, got 1:02",
                "sata[0] word 2 (bits no setting holds): expected 0x80000051, got 0x00000051"}));
}

TEST_F(ReportTest, FaultIsReportedWithItsRoutine) {
  make_board({.budget = 100});
  const auto json = run();
  ASSERT_FALSE(json["fault"].is_null());
  EXPECT_EQ(json["fault"]["kind"].get<std::string>().rfind("hang", 0), 0u);
  EXPECT_FALSE(json["fault"]["routine"].get<std::string>().empty());
  EXPECT_TRUE(json["entry_status"].is_null());
  EXPECT_FALSE(json["slot15_called"]);
}

// A fault two calls deep: the PMC's ACPI base programmed over the image's headers, where the
// entry point's write through MmioWrite16 faults. The text and the JSON name the same frames,
// innermost first, each caller at its call's return address, and the registers at the fault.
TEST_F(ReportTest, AFaultShowsItsBacktraceAndRegisters) {
  scenario.pcd.pcie_base = 0xFFE06000;
  make_board({.precise = true}, module_with_debug_file());
  result_ = board().boot();
  ASSERT_TRUE(result_.fault);
  const auto fault = run_json(board(), result_, false)["fault"];
  const std::string text = human_report(board(), result_, false);
  const char* const routines[] = {"MmioWrite16", "SetPmcAcpiBase", "SystemBoardOverrideEntryPoint"};
  const auto& frames = fault["backtrace"];
  ASSERT_EQ(frames.size(), std::size(routines));
  EXPECT_EQ(frames[0]["address"], fault["eip"]);
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& f = frames[i];
    const uint32_t address = f["address"];
    EXPECT_EQ(f["routine"], routines[i]);
    EXPECT_EQ(address - f["offset"].get<uint32_t>(), board().symbol(routines[i]));
    EXPECT_EQ(f["inlined_in"], nullptr);
    if (i > 0) {
      EXPECT_EQ(board().instruction_at(address - 5).rfind("call ", 0), 0u);
    }
    const std::string line =
        f["file"].get<std::string>() + ":" + std::to_string(f["line"].get<int>());
    EXPECT_EQ(board().source_line(address - (i > 0 ? 1 : 0)), line);
    EXPECT_NE(text.find("            #" + std::to_string(i) + " " + routines[i] + "+" +
                        hex(f["offset"].get<uint32_t>()) + " (" + line + ")\n"),
              std::string::npos)
        << text;
  }
  const CpuState& cpu = result_.fault->registers;
  EXPECT_EQ(fault["registers"]["eip"], fault["eip"]);
  EXPECT_EQ(fault["registers"]["esp"], cpu.esp);
  EXPECT_EQ(fault["registers"]["ebx"], fault["address"]) << "the store's base register";
  EXPECT_NE(text.find("          registers: eax " + hex(cpu.eax, 8) + " ecx " + hex(cpu.ecx, 8) +
                      " edx " + hex(cpu.edx, 8) + " ebx " + hex(cpu.ebx, 8) + "\n"),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace peiboard::testing
