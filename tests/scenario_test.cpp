// Scenario files: the built-in default board, overlays, and every class of rejected input.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "scenario_loader.h"

namespace peiboard {
namespace {

// Compares two scenarios table by table, so a failure names the table that differs.
void ExpectSameBoard(const Scenario& actual, const Scenario& expected) {
  EXPECT_EQ(actual.name, expected.name);
  EXPECT_EQ(actual.source, expected.source);
  EXPECT_TRUE(actual.pch == expected.pch) << "[pch] differs";
  EXPECT_TRUE(actual.pmc == expected.pmc) << "[pmc] differs";
  EXPECT_TRUE(actual.heci == expected.heci) << "[heci] differs";
  EXPECT_TRUE(actual.platform_info == expected.platform_info) << "[hob.platform_info] differs";
  EXPECT_TRUE(actual.me_fw == expected.me_fw) << "[hob.me_fw] differs";
  EXPECT_TRUE(actual.guid_hobs == expected.guid_hobs) << "[[hob.guid]] differs";
  EXPECT_TRUE(actual.me_icc == expected.me_icc) << "[me_icc] differs";
  EXPECT_TRUE(actual.spi == expected.spi) << "[spi] differs";
  EXPECT_TRUE(actual.pcd == expected.pcd) << "[pcd] differs";
  EXPECT_TRUE(actual.setup == expected.setup) << "[setup] differs";
  EXPECT_TRUE(actual.policy == expected.policy) << "[policy] differs";
  EXPECT_TRUE(actual.ptss == expected.ptss) << "[ptss] differs";
  EXPECT_TRUE(actual.debug == expected.debug) << "[debug] differs";
  EXPECT_TRUE(actual.foundation == expected.foundation) << "[foundation] differs";
  EXPECT_TRUE(actual.expect == expected.expect) << "[expect] differs";
  EXPECT_TRUE(actual == expected);
}

// A scenario whose every field differs from the default board and from every other field.
Scenario Scrambled() {
  uint32_t counter = 0x40;
  auto next = [&counter]<class T>(T& field) { field = static_cast<T>(++counter); };
  auto fill = [&next](auto& list) {
    for (auto& item : list) next(item);
  };
  Scenario s;
  s.name = "scrambled";
  next(s.pch.lpc_revision_id);
  next(s.pmc.acpi_control);
  next(s.platform_info.board_id);
  next(s.me_icc.clocking_mode);
  fill(s.setup.sata_topology);
  fill(s.setup.ssata_topology);
  fill(s.setup.pcie_topology);
  next(s.pch.lpc_device_id);
  s.pch.ecam_base = 0x30000000;
  fill(s.pch.lane_owner);
  fill(s.pch.rp_function_map);
  fill(s.pch.strap_fuse_cfg);
  for (bool* flag :
       {&s.pmc.present, &s.pmc.dwr, &s.heci.present, &s.platform_info.present, &s.me_fw.present,
        &s.me_icc.ppi_present, &s.spi.ppi_present, &s.pcd.mcfg.present, &s.debug.ppi_present,
        &s.debug.halt_on_assert, &s.pcd.ppi_present}) {
    *flag = !*flag;
  }
  next(s.pmc.acpi_base);
  next(s.pmc.pwrm_base);
  next(s.heci.mefs1);
  next(s.heci.mefs2);
  next(s.me_fw.fun_number);
  next(s.me_fw.mefs1);
  next(s.me_icc.status);
  next(s.me_icc.reply_command);
  next(s.me_icc.reply_response);
  next(s.me_icc.reply_length);
  next(s.spi.status);
  next(s.spi.soft_strap);
  next(s.pcd.pcie_base);
  next(s.pcd.mcfg.length);
  s.pcd.mcfg.bases = {0xE0000000, 0x1'0000'0000};
  s.foundation.system_board_ppi = SystemBoardOrder::kBeforeEntry;
  s.foundation.other_ppis = {guid_constant("11111111-2222-3333-4444-555555555555")};
  for (auto& record : s.policy.sata) fill(record);
  for (auto& record : s.policy.ssata) fill(record);
  for (auto& record : s.policy.pcie_rp) fill(record);
  for (auto& record : s.policy.pcie_direct) fill(record);
  return s;
}

class DefaultBoard : public ::testing::Test {};

TEST_F(DefaultBoard, BuiltInFileEqualsDefaultConstructedScenario) {
  Scenario expected;
  expected.expect = default_scenario().expect;  // the default board's own run
  EXPECT_TRUE(expected.expect.any());
  ExpectSameBoard(default_scenario(), expected);
}

// Read over a scenario where everything differs, the file must set every field back: a key
// missing from default.toml or read into the wrong field shows up here.
TEST_F(DefaultBoard, BuiltInFileSetsEveryField) {
  const Scenario scrambled = Scrambled();
  const auto parsed = overlay_scenario(scrambled, default_scenario_text(), "<default>");
  ASSERT_TRUE(parsed.ok()) << parsed.error().to_string();
  Scenario expected;  // default.toml has no GUID HOBs, PTSS entries or expectations to reset
  expected.guid_hobs = scrambled.guid_hobs;
  expected.ptss = scrambled.ptss;
  expected.expect = parsed->expect;  // expectations are not board inputs
  ExpectSameBoard(*parsed, expected);
}

TEST_F(DefaultBoard, OverlayChangesOnlyTheKeysWritten) {
  const auto parsed = parse_scenario(
      "name = 'dwr'\n[pmc]\ndwr = true\n[pch]\nlane_owner = [0, 0, 0x22222222, 0]\n", "o.toml");
  ASSERT_TRUE(parsed.ok()) << parsed.error().to_string();
  Scenario expected;
  expected.name = "dwr";
  expected.source = "o.toml";
  expected.pmc.dwr = true;
  expected.pch.lane_owner = {0, 0, 0x22222222, 0};
  ExpectSameBoard(*parsed, expected);
}

TEST_F(DefaultBoard, FileIsReadAndNamedInErrors) {
  const auto path = std::filesystem::temp_directory_path() / "scenario_test_file.toml";
  std::ofstream(path) << "[heci]\nmefs1 = 0x00000255\n\n[spi]\nsoft_strap = 'x'\n";
  const auto loaded = load_scenario_file(path);
  std::filesystem::remove(path);
  ASSERT_FALSE(loaded.ok());
  EXPECT_EQ(loaded.error().to_string(),
            path.string() + ":5: key 'spi.soft_strap': expected an integer, got a string");

  const auto missing = load_scenario_file("no/such/scenario.toml");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().file, "no/such/scenario.toml");
  EXPECT_EQ(missing.error().line, 0);
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

class ScenarioValues : public ::testing::Test {
 protected:
  static Scenario Parse(const std::string& text) {
    auto parsed = parse_scenario(text, "v.toml");
    EXPECT_TRUE(parsed.ok()) << parsed.error().to_string();
    return parsed.ok() ? *parsed : Scenario{};
  }
};

// Each field accepts exactly the range of its width, in hex as in decimal.
TEST_F(ScenarioValues, EveryIntegerFieldTakesExactlyItsWidth) {
  const struct {
    const char* key;
    uint64_t max;
  } fields[] = {{"pch.lpc_device_id", 0xFFFF},
                {"pch.lpc_revision_id", 0xFF},
                {"pmc.acpi_base", 0xFFFF},
                {"pmc.acpi_control", 0xFF},
                {"heci.mefs1", 0xFFFFFFFF},
                {"heci.mefs2", 0xFFFFFFFF},
                {"hob.platform_info.board_id", 0xFF},
                {"hob.me_fw.fun_number", 0xFFFFFFFF},
                {"me_icc.clocking_mode", 0xFF},
                {"me_icc.reply_response", 0xFFFFFFFF},
                {"me_icc.reply_length", 0xFFFFFFFF},
                {"spi.soft_strap", 0xFFFFFFFF},
                {"pcd.mcfg.length", 0xFFFFFFFF},
                {"expect.acpi_control", 0xFFFFFFFF}};
  for (const auto& field : fields) {
    SCOPED_TRACE(field.key);
    const std::string key = field.key;
    EXPECT_TRUE(parse_scenario(key + " = " + Hex(field.max), "v.toml").ok());
    EXPECT_TRUE(parse_scenario(key + " = " + std::to_string(field.max), "v.toml").ok());
    for (const std::string& bad : {Hex(field.max + 1), std::string("-1")}) {
      const auto parsed = parse_scenario("\n" + key + " = " + bad, "v.toml");
      ASSERT_FALSE(parsed.ok()) << bad;
      EXPECT_EQ(parsed.error().line, 2);
      EXPECT_EQ(parsed.error().key, field.key);
    }
  }
  EXPECT_EQ(Parse("pcd.pcie_base = 0x7FFFFFFFFFFFFFFF").pcd.pcie_base, 0x7FFFFFFFFFFFFFFFu);
  EXPECT_EQ(Parse("pch.ecam_base = 0xE0000000").pch.ecam_base, 0xE0000000u);
  EXPECT_EQ(Parse("pmc.pwrm_base = 0xFEFFFFFF").pmc.pwrm_base, 0xFEFFFFFFu);
}

TEST_F(ScenarioValues, GuidHobNameIsStoredInMemoryOrderAndDataPaddedTo8) {
  const Scenario s = Parse(
      "[[hob.guid]]\nname = '1e2acc41-E26A-483D-AFC7-A056C34E087B'\ndata = [1, 2, 3]\n"
      "[[hob.guid]]\nname = '00000000-0000-0000-0000-000000000001'\n"
      "data = [1, 2, 3, 4, 5, 6, 7, 8, 0xFF]\n"
      "[[hob.guid]]\nname = '00000000-0000-0000-0000-000000000002'\ndata = [1, 2, 3, 4, 5, 6, 7, "
      "8]\n"
      "[[hob.guid]]\nname = '00000000-0000-0000-0000-000000000003'\ndata = []\n");
  ASSERT_EQ(s.guid_hobs.size(), 4u);
  const std::array<uint8_t, 16> name{0x41, 0xCC, 0x2A, 0x1E, 0x6A, 0xE2, 0x3D, 0x48,
                                     0xAF, 0xC7, 0xA0, 0x56, 0xC3, 0x4E, 0x08, 0x7B};
  EXPECT_EQ(s.guid_hobs[0].name, name);
  EXPECT_EQ(s.guid_hobs[0].data, (std::vector<uint8_t>{1, 2, 3, 0, 0, 0, 0, 0}));
  EXPECT_EQ(s.guid_hobs[1].data.size(), 16u);
  EXPECT_EQ(s.guid_hobs[1].data[8], 0xFF);
  EXPECT_EQ(s.guid_hobs[2].data.size(), 8u);
  EXPECT_TRUE(s.guid_hobs[3].data.empty());
}

TEST_F(ScenarioValues, PtssEntriesReadTheSameInBothTableForms) {
  const Scenario inline_form = Parse(
      "[ptss]\nentries = [\n  { register_port = 0xA9, lane = 6, register_offset = 0x130, "
      "register_value = 0x140000, keep_mask = 0xFF00FFFF, board_id = 14 },\n"
      "  { lane_mode = 2, topology = 0xFFFF },\n]\n");
  const Scenario table_form = Parse(
      "[[ptss.entries]]\nregister_port = 0xA9\nlane = 6\nregister_offset = 0x130\n"
      "register_value = 0x140000\nkeep_mask = 0xFF00FFFF\nboard_id = 14\n"
      "[[ptss.entries]]\nlane_mode = 2\ntopology = 0xFFFF\n");
  const std::vector<PtssEntryConfig> expected{{0xA9, 6, 0, 0x130, 0x140000, 0xFF00FFFF, 0, 14},
                                              {0, 0, 2, 0, 0, 0, 0xFFFF, 0}};
  EXPECT_EQ(inline_form.ptss.entries, expected);
  EXPECT_EQ(table_form.ptss.entries, expected);
  EXPECT_EQ(Parse("ptss.entries = []").ptss.entries, std::vector<PtssEntryConfig>{});
  EXPECT_FALSE(Parse("").ptss.entries.has_value());
}

TEST_F(ScenarioValues, PolicyListsSetLeadingRecordsAndExpectListsAreFull) {
  const Scenario s = Parse("[policy]\nsata = [[1, 2, 3], [4, 5, 0xFFFFFFFF]]\n");
  EXPECT_EQ(s.policy.sata[1], (std::array<uint32_t, 3>{4, 5, 0xFFFFFFFF}));
  for (size_t i = 2; i < s.policy.sata.size(); ++i) EXPECT_EQ(s.policy.sata[i][0], 0u);

  std::string ssata = "[expect]\nentry_status = 'null'\nssata = [";
  for (int i = 0; i < 6; ++i) ssata += "[0, 0, " + std::to_string(i) + "],";
  const Scenario e = Parse(ssata + "]\n");
  EXPECT_EQ(e.expect.entry_status, -1);
  ASSERT_TRUE(e.expect.ssata.has_value());
  EXPECT_EQ((*e.expect.ssata)[5][2], 5u);
  EXPECT_TRUE(e.expect.any());
  EXPECT_EQ(Parse("expect.entry_status = 0x80000003").expect.entry_status, 0x80000003);
  EXPECT_FALSE(Parse("[expect]").expect.any());
}

class ScenarioErrors : public ::testing::Test {
 protected:
  // The error `text` is rejected with; fails the test if it is accepted.
  static ScenarioError Reject(const std::string& text) {
    const auto parsed = parse_scenario(text, "e.toml");
    if (parsed.ok()) {
      ADD_FAILURE() << "accepted:\n" << text;
      return {};
    }
    return parsed.error();
  }
  static void ExpectRejectedAt(const std::string& text, int line, const std::string& key,
                               const std::string& message_part = "") {
    const ScenarioError error = Reject(text);
    EXPECT_EQ(error.file, "e.toml");
    EXPECT_EQ(error.line, line) << error.to_string();
    EXPECT_EQ(error.key, key) << error.to_string();
    EXPECT_NE(error.message.find(message_part), std::string::npos) << error.to_string();
  }
};

TEST_F(ScenarioErrors, MessageNamesFileLineAndKey) {
  EXPECT_EQ(Reject("name = 'x'\n\n[pch]\nlane_owner = [1, 2, 3]\n").to_string(),
            "e.toml:4: key 'pch.lane_owner': expected 4 integers, got 3");
}

TEST_F(ScenarioErrors, UnknownKeysAndTablesAtTheirLine) {
  ExpectRejectedAt("[pmc]\npresent = true\nacpi_bse = 1\n", 3, "pmc.acpi_bse", "unknown key");
  ExpectRejectedAt("name = 'x'\n[bogus]\na = 1\n", 2, "bogus", "unknown table");
  ExpectRejectedAt("[hob]\n\n[hob.me_fw]\n[hob.extra]\n", 4, "hob.extra", "unknown table");
  ExpectRejectedAt("[ptss]\nentries = [{lane = 1},\n  {lan = 2}]\n", 3, "ptss.entries[1].lan");
  ExpectRejectedAt("source = 'x'\n", 1, "source", "unknown key");
}

TEST_F(ScenarioErrors, WrongTypesAreNotConverted) {
  ExpectRejectedAt("[pmc]\ndwr = 1\n", 2, "pmc.dwr", "expected a boolean");
  ExpectRejectedAt("[heci]\nmefs1 = '5'\n", 2, "heci.mefs1", "got a string");
  ExpectRejectedAt("[heci]\nmefs1 = 5.0\n", 2, "heci.mefs1", "got a float");
  ExpectRejectedAt("name = 3\n", 1, "name", "expected a string");
  ExpectRejectedAt("pch = 3\n", 1, "pch", "expected a table");
  ExpectRejectedAt("[setup]\nsata_topology = 0\n", 2, "setup.sata_topology", "a list of 8");
  ExpectRejectedAt("[expect]\nentry_status = 'nil'\n", 2, "expect.entry_status", "\"null\"");
  ExpectRejectedAt("[hob.guid]\nname = 'x'\n", 1, "hob.guid", "expected a list");
}

TEST_F(ScenarioErrors, OutOfRangeAndNegativeValues) {
  ExpectRejectedAt("[pch]\nlpc_revision_id = 256\n", 2, "pch.lpc_revision_id", "0 to 255");
  ExpectRejectedAt("[pch]\nlpc_device_id = -1\n", 2, "pch.lpc_device_id", "got -1");
  ExpectRejectedAt(
      "[setup]\npcie_topology = [0, 0, 0, 0, 0, 0, 0, 0, 0, 0,\n"
      "  0, 0, 0, 0, 0, 0, 0, 0, 0, 0x100]\n",
      3, "setup.pcie_topology[19]", "got 0x100");
  ExpectRejectedAt(
      "[[hob.guid]]\nname = '00000000-0000-0000-0000-000000000000'\n"
      "data = [0, 256]\n",
      3, "hob.guid[0].data[1]");
  ExpectRejectedAt("[pcd.mcfg]\nbases = [0, -1]\n", 2, "pcd.mcfg.bases[1]");
}

TEST_F(ScenarioErrors, ListsOfTheWrongLength) {
  ExpectRejectedAt("[pch]\nrp_function_map = [0, 0, 0, 0, 0, 0]\n", 2, "pch.rp_function_map",
                   "expected 5 integers, got 6");
  ExpectRejectedAt("[setup]\nssata_topology = [0, 0, 0, 0, 0]\n", 2, "setup.ssata_topology",
                   "expected 6 integers, got 5");
  ExpectRejectedAt("[policy]\npcie_rp = [[1, 2, 3]]\n", 2, "policy.pcie_rp[0]",
                   "expected 4 integers, got 3");
  ExpectRejectedAt(
      "[policy]\nssata = [[0,0,0],[0,0,0],[0,0,0],[0,0,0],[0,0,0],[0,0,0],\n"
      "  [0,0,0]]\n",
      3, "policy.ssata", "at most 6");
  ExpectRejectedAt("[expect]\nsata = [[0, 0, 0]]\n", 2, "expect.sata", "expected 8 records");
}

TEST_F(ScenarioErrors, PtssTakesAtMost256Entries) {
  std::string text = "[ptss]\nentries = [\n";
  for (int i = 0; i < 256; ++i) text += "  { lane = 1 },\n";
  EXPECT_EQ(parse_scenario(text + "]\n", "e.toml")->ptss.entries->size(), 256u);
  ExpectRejectedAt(text + "  { lane = 2 },\n]\n", 259, "ptss.entries", "at most 256");
}

TEST_F(ScenarioErrors, MalformedGuidNames) {
  for (const char* name :
       {"1E2ACC41E26A-483D-AFC7-A056C34E087B", "1E2ACC41-E26A-483D-AFC7-A056C34E087",
        "{1E2ACC41-E26A-483D-AFC7-A056C34E087B}", "1E2ACC41-E26A-483D-AFC7-A056C34E087G",
        "1E2ACC41-E26A-483D-AFC7A-056C34E087B"}) {
    SCOPED_TRACE(name);
    ExpectRejectedAt(std::string("[[hob.guid]]\nname = '00000000-0000-0000-0000-000000000000'\n"
                                 "[[hob.guid]]\n\nname = '") +
                         name + "'\n",
                     5, "hob.guid[1].name", "expected a GUID");
  }
  ExpectRejectedAt("[[hob.guid]]\ndata = [1]\n", 1, "hob.guid[0].name", "missing");
}

TEST_F(ScenarioErrors, DispatchOrderAndOtherPpis) {
  const auto parsed = parse_scenario(
      "[foundation]\nsystem_board_ppi = 'before-entry'\n"
      "other_ppis = ['06e81c58-4ad7-44bc-8390-f10265f72480']\n[expect]\ndispatched = false\n",
      "o.toml");
  ASSERT_TRUE(parsed.ok()) << parsed.error().to_string();
  EXPECT_EQ(parsed->foundation.system_board_ppi, SystemBoardOrder::kBeforeEntry);
  EXPECT_EQ(parsed->foundation.other_ppis,
            std::vector<Guid>{guid_constant("06E81C58-4AD7-44BC-8390-F10265F72480")});
  EXPECT_EQ(parsed->expect.dispatched, false);
  ExpectRejectedAt("[foundation]\nsystem_board_ppi = 'first'\n", 2, "foundation.system_board_ppi",
                   "expected \"after-entry\" or \"before-entry\"");
  ExpectRejectedAt("[foundation]\nother_ppis = [\n  'x']\n", 3, "foundation.other_ppis[0]",
                   "expected a GUID");
}

TEST_F(ScenarioErrors, EcamWindowMustBe256MiBAligned) {
  ExpectRejectedAt("[pch]\necam_base = 0x88000000\n", 2, "pch.ecam_base", "256 MiB");
  ExpectRejectedAt("[pch]\necam_base = 0x100000000\n", 2, "pch.ecam_base", "0xFFFFFFFF");
}

// Windows that would overlap RAM, the trap page, each other, the PCR window or flash are
// refused while the file is read, at the key that places them.
TEST_F(ScenarioErrors, WindowsMustFitTheMemoryMap) {
  ExpectRejectedAt("[pch]\necam_base = 0\n", 2, "pch.ecam_base", "from 0x10000000 to 0xE0000000");
  ExpectRejectedAt("[pch]\n\necam_base = 0xF0000000\n", 3, "pch.ecam_base", "PCR window");
  for (const auto& [base, what] :
       std::vector<std::pair<std::string, std::string>>{{"0x00300000", "RAM"},
                                                        {"0x0F000000", "trap page"},
                                                        {"0x8FFF0000", "configuration window"},
                                                        {"0xFD000000", "PCR window"},
                                                        {"0xFF000000", "flash window"}}) {
    SCOPED_TRACE(base);
    ExpectRejectedAt("[pmc]\npwrm_base = " + base + "\n", 2, "pmc.pwrm_base", what);
  }
  // Just clear of each neighbour, or not decoded at all, is fine.
  for (const char* base : {"0x01000000", "0x0F010000", "0x90000000", "0xFEFF0000", "0x0000FFFF"}) {
    EXPECT_TRUE(parse_scenario(std::string("[pmc]\npwrm_base = ") + base, "e.toml").ok()) << base;
  }
  // Without a PMC nothing decodes the block.
  EXPECT_TRUE(parse_scenario("[pmc]\npresent = false\npwrm_base = 0xFF000000\n", "e.toml").ok());
  // A key the file does not name is still the one reported, at the file.
  const ScenarioError e = Reject("[pch]\necam_base = 0xF0000000\n[pmc]\npresent = false\n");
  EXPECT_EQ(e.key, "pch.ecam_base");
}

TEST_F(ScenarioErrors, HobsMustFitTheHobList) {
  // The largest GUID HOB: 0xFFF8 bytes with its header and name.
  std::string hob = "[[hob.guid]]\nname = '00000000-0000-0000-0000-000000000000'\ndata = [0";
  for (int i = 1; i < 0xFFF8 - 24; ++i) hob += ",0";
  hob += "]\n";
  std::string text;
  for (int i = 0; i < 15; ++i) text += hob;
  EXPECT_TRUE(parse_scenario(text, "e.toml").ok()) << "15 of the largest HOBs fit";
  text += hob;
  ExpectRejectedAt(text, 46, "hob.guid[15]", "more than the board's 1048576");
}

TEST_F(ScenarioErrors, McfgTableHasABoundedSize) {
  std::string bases = "[pcd.mcfg]\nbases = [0";
  for (int i = 1; i < 4096; ++i) bases += ",0";
  EXPECT_TRUE(parse_scenario(bases + "]\n", "e.toml").ok());
  ExpectRejectedAt(bases + ",0]\n", 2, "pcd.mcfg.bases", "at most 4096");
}

TEST_F(ScenarioErrors, SyntaxErrorsReportTomlLine) {
  const ScenarioError error = Reject("name = 'x'\n[pch\nlpc_revision_id = 1\n");
  EXPECT_EQ(error.line, 2);
  EXPECT_TRUE(error.key.empty());
  EXPECT_FALSE(error.message.empty());
}

}  // namespace
}  // namespace peiboard
