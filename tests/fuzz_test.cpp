// The fuzzer: scenario files written back as they were read, platforms that keep (or break)
// the contracts, campaigns that do not depend on the number of jobs, reused boards that
// answer as fresh ones, and a planted fault found and shrunk to its two keys.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "board_fixture.h"
#include "findings.h"
#include "format.h"
#include "fuzz_fixture.h"
#include "fuzzer.h"
#include "minimize.h"
#include "platforms.h"
#include "report.h"
#include "scenario_loader.h"
#include "scenario_writer.h"

namespace peiboard::fuzz {
namespace {

using peiboard::testing::module_image;

const PeImage& planted_image() {
  static const PeImage image = [] {
    auto loaded =
        PeImage::load(PEIBOARD_PLANTED_IMAGE, std::filesystem::path(PEIBOARD_PLANTED_MAP));
    if (!loaded) throw std::runtime_error(loaded.error().message);
    return std::move(loaded).value();
  }();
  return image;
}

// Writes and reads back under the same source name; the text is shown when they differ.
void ExpectRoundTrip(const Scenario& scenario, const std::string& source) {
  const auto text = write_scenario(scenario);
  ASSERT_TRUE(text) << text.error().message;
  const auto read = parse_scenario(*text, source);
  ASSERT_TRUE(read) << read.error().to_string() << "\n" << *text;
  Scenario expected = scenario;
  expected.source = source;
  EXPECT_TRUE(*read == expected) << "read back differs:\n" << *text;
}

TEST(ScenarioWriter, EveryScenarioFileReadsBackEqual) {
  const auto files = scenario_files();
  ASSERT_GE(files.size(), 10u);
  for (const auto& file : files) {
    SCOPED_TRACE(file.string());
    const auto scenario = load_scenario_file(file);
    ASSERT_TRUE(scenario) << scenario.error().to_string();
    ExpectRoundTrip(*scenario, file.string());
  }
}

TEST(ScenarioWriter, ThousandsOfGeneratedPlatformsReadBackEqual) {
  for (const Mode mode : {Mode::kPlatform, Mode::kHostile}) {
    Rng rng(7);
    int index = 0;
    for (Scenario s : platforms(mode, 2500, 11)) {
      SCOPED_TRACE(std::string(mode_name(mode)) + " platform " + std::to_string(index++));
      // Names and expectations with everything a string escape must carry.
      s.name = rng.coin() ? "quote \" backslash \\ tab \t newline \n bell \x07 del \x7F \xC3\xA9"
                          : "p" + std::to_string(index);
      if (rng.chance(1, 4)) {
        s.expect.entry_status = rng.coin() ? -1 : int64_t{0x80000003};
        s.expect.notify_statuses = std::vector<int64_t>{0, 0x80000002};
        s.expect.fault = rng.coin();
        s.expect.prints_contain = {"Reinstall Descriptor Status = 0.\n", "\"%a\"\\"};
        s.expect.prints_absent = {""};
        s.expect.assert_lines = std::vector<int64_t>{91};
        s.expect.pcie_rp.emplace();
        (*s.expect.pcie_rp)[19][3] = rng.u32();
        s.expect.acpi_control = 0x80;
      }
      ExpectRoundTrip(s, "generated.toml");
    }
  }
}

// The default board's inputs, without the expectations of its own run.
Scenario default_board() {
  Scenario s = default_scenario();
  s.expect = {};
  return s;
}

TEST(ScenarioWriter, WritesOnlyTheNameAndTheKeysThatDiffer) {
  Scenario s = default_board();
  EXPECT_EQ(*write_scenario(s), "name = \"default board\"\n");
  s.pch.lpc_revision_id = 0x08;
  s.pcd.mcfg.pointer = 0x10;
  s.setup.pcie_topology[19] = 3;
  EXPECT_EQ(*write_scenario(s),
            "name = \"default board\"\n\n[pch]\nlpc_revision_id = 8\n\n[pcd.mcfg]\npointer = 0x10\n"
            "\n[setup]\npcie_topology = [0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "
            "3]\n");
  // A lane-record list names the records up to the last one that is not zero.
  Scenario p = default_board();
  p.policy.ssata[1][2] = 0x51;
  EXPECT_NE(write_scenario(p)->find("ssata = [\n  [0, 0, 0],\n  [0, 0, 0x51],\n]\n"),
            std::string::npos)
      << *write_scenario(p);
}

TEST(ScenarioWriter, RefusesValuesNoFileCanHold) {
  Scenario s = default_scenario();
  s.pcd.pcie_base = uint64_t{1} << 63;
  auto text = write_scenario(s);
  ASSERT_FALSE(text);
  EXPECT_NE(text.error().message.find("pcd.pcie_base"), std::string::npos) << text.error().message;
  s.pcd.pcie_base = (uint64_t{1} << 63) - 1;  // the largest TOML integer is fine
  EXPECT_TRUE(write_scenario(s));
  s.name = "\xFF";
  text = write_scenario(s);
  ASSERT_FALSE(text);
  EXPECT_NE(text.error().message.find("'name'"), std::string::npos) << text.error().message;
}

TEST(Platforms, PlatformModeKeepsEveryContract) {
  const PlatformSpace space(Mode::kPlatform);
  std::set<std::string_view> varied;
  for (const Scenario& s : platforms(Mode::kPlatform, 3000, 3)) {
    ASSERT_TRUE(check_layout(s));
    EXPECT_EQ(s.pcd.pcie_base & 0xFFFFFFFF, s.pch.ecam_base) << "PCD token 6 names the window";
    EXPECT_TRUE(s.pcd.mcfg.present);
    EXPECT_FALSE(s.pcd.mcfg.pointer);
    const size_t entries = std::max<size_t>(8, s.pcd.mcfg.bases.size());
    EXPECT_TRUE(s.pcd.mcfg.length == 0 || s.pcd.mcfg.length == 16 + 16 * entries)
        << s.pcd.mcfg.length << " for " << entries << " entries";
    if (!s.pcd.mcfg.bases.empty()) {
      EXPECT_TRUE(s.pcd.mcfg.bases[0] == 0 || s.pcd.mcfg.bases[0] == s.pch.ecam_base);
    }
    for (const auto& hob : s.guid_hobs) {
      EXPECT_FALSE(hob.type || hob.length);
      if (hob.name == guids::kPlatformInfoHob) {
        EXPECT_GE(hob.data.size(), 38u);
      }
      if (hob.name == guids::kMeFwHob) {
        EXPECT_GE(hob.data.size(), 12u);
      }
    }
    EXPECT_TRUE(s.hob_list.end);
    EXPECT_FALSE(s.foundation.hob_list || s.foundation.pool);
    for (const LocateAnswer& a : s.foundation.locate) {
      // A PPI that is not installed, and never the one whose installation called the module.
      EXPECT_NE(a.status & 0x80000000u, 0u);
      EXPECT_FALSE(a.interface || a.descriptor);
      EXPECT_NE(a.guid, guids::kSystemBoard);
    }
    for (const VariedKey& site : space.varied_keys()) {
      Scenario back = s;
      site.assign(back, space.base());
      if (!(back == s)) varied.insert(site.key);
    }
  }
  EXPECT_EQ(varied.size(), space.varied_keys().size()) << "every key of the space is varied";
}

TEST(Platforms, HostileModeBreaksEachContract) {
  size_t no_end = 0, zero_length = 0, odd_length = 0, type = 0, mcfg_pointer = 0, mcfg_absent = 0,
         bad_length = 0, hob_list = 0, pool = 0, locate = 0, window = 0;
  for (const Scenario& s : platforms(Mode::kHostile, 3000, 5)) {
    ASSERT_TRUE(check_layout(s));
    no_end += !s.hob_list.end;
    for (const auto& hob : s.guid_hobs) {
      zero_length += hob.length == 0;
      odd_length += hob.length && *hob.length % 2 == 1;
      type += hob.type && *hob.type != 4;
    }
    mcfg_pointer += s.pcd.mcfg.pointer.has_value();
    mcfg_absent += !s.pcd.mcfg.present;
    const size_t entries = std::max<size_t>(8, s.pcd.mcfg.bases.size());
    bad_length += s.pcd.mcfg.length != 0 && s.pcd.mcfg.length != 16 + 16 * entries;
    hob_list += s.foundation.hob_list.has_value();
    pool += s.foundation.pool.has_value();
    locate += !s.foundation.locate.empty();
    window += (s.pcd.pcie_base & 0xFFFFFFFF) != s.pch.ecam_base;
  }
  for (size_t seen : {no_end, zero_length, odd_length, type, mcfg_pointer, mcfg_absent, bad_length,
                      hob_list, pool, locate, window}) {
    EXPECT_GT(seen, 10u);
  }
}

// Every platform of a campaign, written out, and what the campaign ended with.
struct Campaign {
  std::vector<std::string> platforms;
  FuzzSummary summary;
};

Campaign run_campaign(const PeImage& image, FuzzOptions options) {
  Campaign c;
  options.observe = [&c](uint64_t index, const Scenario& s) {
    EXPECT_EQ(index, c.platforms.size());
    c.platforms.push_back(write_scenario(s).value());
  };
  auto fuzzer = Fuzzer::create(image, std::move(options));
  if (!fuzzer) throw std::runtime_error(fuzzer.error().message);
  auto summary = (*fuzzer)->run();
  if (!summary) throw std::runtime_error(summary.error().message);
  c.summary = std::move(summary).value();
  return c;
}

std::vector<std::string> causes(const FuzzSummary& s) {
  std::vector<std::string> out;
  for (const auto& f : s.findings)
    out.push_back(f.cause.text() + " @" + std::to_string(f.platform));
  return out;
}

TEST(Fuzzer, TheSameSeedGivesTheSamePlatformsWhateverTheJobs) {
  for (const Mode mode : {Mode::kPlatform, Mode::kHostile}) {
    SCOPED_TRACE(mode_name(mode));
    // Three batches, the last one short: the corpus of each batch feeds the next.
    FuzzOptions options{.mode = mode, .runs = 2 * Fuzzer::kBatch + 40, .seed = 42, .jobs = 1};
    const Campaign one = run_campaign(module_image(), options);
    options.jobs = 2;
    const Campaign two = run_campaign(module_image(), options);
    ASSERT_EQ(one.platforms.size(), options.runs);
    EXPECT_TRUE(one.platforms == two.platforms);
    EXPECT_EQ(one.summary.totals.blocks, two.summary.totals.blocks);
    EXPECT_EQ(one.summary.totals.edges, two.summary.totals.edges);
    EXPECT_EQ(one.summary.totals.corpus, two.summary.totals.corpus);
    EXPECT_EQ(causes(one.summary), causes(two.summary));
    EXPECT_GT(one.summary.totals.corpus, 10u) << "new coverage is kept";
    options.seed = 43;
    const Campaign other = run_campaign(module_image(), options);
    EXPECT_NE(other.platforms[0], one.platforms[0]);
  }
}

TEST(Fuzzer, ACorpusResumesTheCampaignWhereItStopped) {
  const auto corpus = std::filesystem::path(PEIBOARD_TEST_WORK) / "fuzz-corpus";
  std::filesystem::remove_all(corpus);
  auto files = [&] {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(corpus),
                                             std::filesystem::directory_iterator()));
  };
  FuzzOptions options{.runs = Fuzzer::kBatch + 40, .seed = 7, .jobs = 2};
  options.corpus = corpus;
  const Campaign first = run_campaign(module_image(), options);
  const FuzzProgress& ended = first.summary.totals;
  ASSERT_GT(ended.corpus, 10u);
  EXPECT_EQ(files(), ended.corpus) << "each platform that added coverage, once";
  EXPECT_EQ(first.summary.corpus_saved, ended.corpus);

  // The next campaign boots the saved platforms before any new one: it starts with all the
  // coverage the first one reached, and saving them again adds no file.
  auto next = Fuzzer::create(module_image(), options);
  ASSERT_TRUE(next);
  const auto seeded = (*next)->seed();
  ASSERT_TRUE(seeded) << seeded.error().message;
  EXPECT_EQ(seeded->corpus_files, ended.corpus);
  EXPECT_EQ(seeded->blocks, ended.blocks);
  EXPECT_EQ(seeded->edges, ended.edges);
  EXPECT_GT(seeded->corpus, 0u);
  EXPECT_EQ(files(), ended.corpus);
  const auto resumed = (*next)->run();
  ASSERT_TRUE(resumed);
  EXPECT_EQ(resumed->totals.boots, options.runs);
  EXPECT_EQ(resumed->totals.corpus, seeded->corpus + resumed->corpus_saved);
}

TEST(Fuzzer, FindsThePlantedFaultAndShrinksItToItsTwoKeys) {
  const auto out = std::filesystem::path(PEIBOARD_TEST_WORK) / "fuzz-planted";
  std::filesystem::remove_all(out);
  // Seed 1 meets it at platform 959: a bound of 3000 boots, about two seconds on two cores.
  FuzzOptions options{.runs = 3000, .seed = 1, .jobs = 2, .out = out};
  options.reproduce = "peiboard --image planted run";
  const Campaign c = run_campaign(planted_image(), options);
  ASSERT_EQ(c.summary.findings.size(), 1u) << ::testing::PrintToString(causes(c.summary));
  const Finding& f = c.summary.findings[0];
  EXPECT_EQ(f.cause.text(), "fault: write unmapped in __wrap_ApplyBoardPtssTables");
  EXPECT_GT(f.keys_found, 2u);
  // Stepping 0x34 (revision 8) and the unknown board id, by either of its two ways.
  const PlatformSpace space(Mode::kPlatform);
  EXPECT_EQ(keys_set(f.scenario, space), 2u) << write_scenario(f.scenario).value();
  EXPECT_EQ(f.scenario.pch.lpc_revision_id, 0x08);
  EXPECT_TRUE(!f.scenario.platform_info.present || f.scenario.platform_info.board_id == 0xFF);
  EXPECT_NE(f.report.find("fault: write unmapped at 0x00000000, eip 0xFFF0"), std::string::npos)
      << f.report;

  // The saved file is a scenario that reproduces it on a fresh board with exact EIP, and only
  // with the planted image.
  ASSERT_EQ(f.file.parent_path(), out);
  const auto saved = load_scenario_file(f.file);
  ASSERT_TRUE(saved) << saved.error().to_string();
  Scenario expected = f.scenario;
  expected.source = f.file.string();
  EXPECT_TRUE(*saved == expected);
  EXPECT_EQ(saved->expect.fault, true);
  auto board = Board::create(*saved, planted_image(), {.precise = true});
  const RunResult r = (*board)->boot();
  ASSERT_TRUE(r.fault);
  EXPECT_EQ(r.fault->routine, "__wrap_ApplyBoardPtssTables");
  EXPECT_EQ(r.fault->address, 0u);
  EXPECT_NE(f.report.find(hex(r.fault->eip, 8)), std::string::npos);
  std::ifstream file(f.file);
  const std::string text((std::istreambuf_iterator<char>(file)), {});
  EXPECT_NE(text.find("# Reproduce: peiboard --image planted run " + f.file.string()),
            std::string::npos)
      << text;
  auto released = Board::create(*saved, module_image());
  EXPECT_FALSE((*released)->boot().fault);
}

TEST(Findings, AHaltIsTheModulesOwnReportNotAFinding) {
  Scenario s = default_scenario();
  s.debug.halt_on_assert = true;
  s.platform_info.present = false;  // GetBoardId asserts
  auto board = Board::create(s, module_image());
  const RunResult r = (*board)->boot();
  ASSERT_TRUE(r.fault);
  EXPECT_EQ(r.fault->stop, StopKind::kHalted);
  EXPECT_FALSE(finding_of(**board, s, r, Mode::kPlatform));
}

TEST(Findings, ARefusedWriteCountsOnlyWithinTheContracts) {
  const Scenario s = default_scenario();
  auto board = Board::create(s, module_image(), {.scratch = true});
  // A PCR register: the board's model refuses writes.
  const CallResult call = (*board)->call("MmioWrite16", {0xFD130250, 0x1234});
  ASSERT_TRUE(call.returned());
  ASSERT_EQ((*board)->log().blocked_writes, 1u);
  const auto cause = finding_of(**board, s, RunResult{}, Mode::kPlatform);
  ASSERT_TRUE(cause);
  EXPECT_EQ(cause->text(), "blocked write in MmioWrite16");
  EXPECT_FALSE(cause->stops_run());
  EXPECT_FALSE(finding_of(**board, s, RunResult{}, Mode::kHostile));
}

TEST(Findings, AFaultIsBlamedOnItsBlockWhateverTheBoardBootedBefore) {
  // The HOB walk starts at 0xFFC and reads the unmapped page below the IDT.
  Scenario s = default_scenario();
  s.foundation.hob_list = 0xFFC;
  auto fresh = Board::create(s, module_image());
  const RunResult first = (*fresh)->boot();
  const auto cause = finding_of(**fresh, s, first, Mode::kHostile);
  ASSERT_TRUE(cause);
  EXPECT_EQ(cause->text(), "fault: read unmapped in GetNextHob");
  // A board that has booted other platforms has other translated code chained.
  auto reused = Board::create(default_scenario(), module_image());
  for (const Scenario& other : platforms(Mode::kHostile, 200, 23)) {
    ASSERT_TRUE((*reused)->reset(other));
    (*reused)->boot();
  }
  ASSERT_TRUE((*reused)->reset(s));
  const RunResult again = (*reused)->boot();
  EXPECT_EQ(finding_of(**reused, s, again, Mode::kHostile), cause);
}

TEST(Minimizer, KeepsOnlyTheKeysAndElementsTheFindingNeeds) {
  const PlatformSpace space(Mode::kHostile);
  Scenario s = platforms(Mode::kHostile, 40, 29).back();
  s.pch.lpc_revision_id = 0x08;
  s.platform_info.board_id = 0x2A;
  s.ptss.entries = std::vector<PtssEntryConfig>(100);
  (*s.ptss.entries)[37].lane = 7;
  s.foundation.locate = {LocateAnswer{guids::kHeci, 0, 4, {}}, LocateAnswer{guids::kSpi, 0, 8, {}}};
  ASSERT_GT(keys_set(s, space), 5u);
  auto keeps = [](const Scenario& c) {
    const bool lane7 =
        c.ptss.entries && std::any_of(c.ptss.entries->begin(), c.ptss.entries->end(),
                                      [](const PtssEntryConfig& e) { return e.lane == 7; });
    const bool spi = std::any_of(c.foundation.locate.begin(), c.foundation.locate.end(),
                                 [](const LocateAnswer& a) { return a.guid == guids::kSpi; });
    return c.pch.lpc_revision_id == 0x08 && c.platform_info.board_id == 0x2A && lane7 && spi;
  };
  const Minimized m = minimize(s, space, keeps);
  EXPECT_TRUE(keeps(m.scenario));
  EXPECT_EQ(keys_set(m.scenario, space), 4u) << write_scenario(m.scenario).value();
  ASSERT_TRUE(m.scenario.ptss.entries);
  EXPECT_EQ(m.scenario.ptss.entries->size(), 1u);
  ASSERT_EQ(m.scenario.foundation.locate.size(), 1u);
  EXPECT_LT(m.boots, 200u);
}

}  // namespace
}  // namespace peiboard::fuzz
