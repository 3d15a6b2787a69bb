// Coverage from boots of the real image: the recorder's blocks and edges against an
// instruction-by-instruction trace of the same boots, its rules for calls, traps and stopped
// runs, the boots behind `peiboard coverage`, and the tracefiles the module tests write.
#include "coverage_run.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "board_fixture.h"
#include "debug_fixture.h"

namespace peiboard::testing {
namespace {

Coverage empty_coverage() {
  auto c = Coverage::create(module_source_map());
  if (!c) throw std::runtime_error(c.error().message);
  return std::move(c).value();
}

Disassembler disassembler() {
  auto d = Disassembler::create();
  if (!d) throw std::runtime_error(d.error().message);
  return std::move(d).value();
}

Scenario scenario_file(const std::string& path) {
  auto s = load_scenario_file(std::string(PEIBOARD_SOURCE_DIR) + "/" + path);
  if (!s) throw std::runtime_error(s.error().to_string());
  return std::move(s).value();
}

// The scenarios `make coverage` boots, and boards the recorder must get right: a hang, a
// halt at an assertion, an absent debug PPI.
std::vector<Scenario> boot_scenarios() {
  std::vector<Scenario> all;
  for (const char* path :
       {"scenarios/default.toml", "scenarios/external-clocking.toml", "scenarios/lp-part.toml",
        "scenarios/unknown-board.toml", "tests/scenarios/me-from-hob.toml",
        "tests/scenarios/dwr-soft-strap.toml", "tests/scenarios/pcie-grouped-lanes.toml"}) {
    all.push_back(scenario_file(path));
  }
  Scenario halted = default_scenario();
  halted.name = "halted";
  halted.debug.halt_on_assert = true;
  halted.platform_info.present = false;
  all.push_back(halted);
  Scenario quiet = default_scenario();
  quiet.name = "quiet";
  quiet.debug.ppi_present = false;
  all.push_back(quiet);
  return all;
}

// The reference: every instruction the CPU ran, one by one, on a precise machine. A byte ran as
// often as the instruction holding it; a conditional branch went where the next instruction is.
class InstructionTrace final : public DebugObserver {
 public:
  InstructionTrace(const Machine& machine, Coverage& coverage)
      : machine_(machine), coverage_(coverage) {}
  void before_instruction(uint32_t address) override {
    if (address - Machine::kTrapBase < Machine::kTrapPageSize) {
      branch_.reset();
      return;
    }
    const std::vector<uint8_t> bytes = machine_.read(address, 16);
    coverage_.add_block(address, *dis_.instruction_length(address, bytes));
    if (branch_) coverage_.add_edge(*branch_, address);
    branch_.reset();
    if (dis_.conditional_branch(address, bytes)) branch_ = address;
  }
  void on_stop(const StopInfo&) override { branch_.reset(); }
  void end_run() { branch_.reset(); }

 private:
  const Machine& machine_;
  Coverage& coverage_;
  Disassembler dis_ = disassembler();
  std::optional<uint32_t> branch_;
};

std::unique_ptr<Board> board_for(const Scenario& scenario, BoardOptions options = {}) {
  options.scratch = true;
  auto made = Board::create(scenario, module_with_debug_file(), options);
  if (!made) throw std::runtime_error(made.error().message);
  return std::move(made).value();
}

// Whole boots, with nested notify calls, service traps, a halt and a hang: what the recorder
// makes of the machine's blocks equals the trace of every instruction, line by line, call by
// call and branch outcome by outcome.
TEST(CoverageRecorder, BootsGiveTheCoverageOfTheirInstructionTrace) {
  Coverage blocks = empty_coverage();
  Coverage instructions = empty_coverage();
  std::vector<Scenario> scenarios = boot_scenarios();
  Scenario hang = default_scenario();
  hang.name = "hang";
  scenarios.push_back(hang);

  for (const Scenario& scenario : scenarios) {
    // The hang: the budget runs out inside the module, in the middle of the boot.
    const uint64_t budget = scenario.name == "hang" ? 15000 : BoardOptions{}.budget;
    auto fast = board_for(scenario, {.budget = budget});
    auto recorder = CoverageRecorder::create(fast->machine(), blocks);
    ASSERT_TRUE(recorder);
    fast->machine().set_block_observer(&*recorder);
    const RunResult a = fast->boot();

    auto precise = board_for(scenario, {.budget = budget, .precise = true});
    InstructionTrace trace(precise->machine(), instructions);
    precise->machine().set_debug_observer(&trace);
    const RunResult b = precise->boot();
    precise->machine().set_debug_observer(nullptr);
    EXPECT_EQ(a.fault.has_value(), b.fault.has_value()) << scenario.name;
    EXPECT_EQ(a.fault.has_value(), scenario.name == "hang" || scenario.name == "halted")
        << scenario.name;
    EXPECT_GT(recorder->edges(), 0u);
  }
  const CoverageSummary s = blocks.summary();
  EXPECT_GT(s.lines_hit, s.lines_found / 2);
  EXPECT_GT(s.branches_hit, s.branches_found / 2);
  EXPECT_EQ(blocks.lcov("boots", ""), instructions.lcov("boots", ""));
}

// A module routine called by name: the blocks it ran, and edges only where its own code chose.
class RecorderRules : public ::testing::Test {
 protected:
  const SourceMap& map_ = module_source_map();
  std::unique_ptr<Board> board_ = board_for(default_scenario());
  Coverage coverage_ = empty_coverage();
  CoverageRecorder recorder_ = [this] {
    auto r = CoverageRecorder::create(board_->machine(), coverage_);
    if (!r) throw std::runtime_error(r.error().message);
    return std::move(r).value();
  }();
  Disassembler dis_ = disassembler();

  std::span<const uint8_t> code_at(uint32_t address) const {
    const CodeSection& text = map_.code().at(0);
    return std::span(text.bytes).subspan(address - text.address);
  }
  // The first instruction of the routine for which `pick` holds, from its start.
  uint32_t find(std::string_view routine, const std::function<bool(uint32_t)>& pick) const {
    const Routine& r = *map_.routine_at(*map_.address_of(routine));
    for (uint32_t at = r.address; at < r.address + r.size;) {
      if (pick(at)) return at;
      at += *dis_.instruction_length(at, code_at(at));
    }
    throw std::runtime_error("nothing picked in " + std::string(routine));
  }
  uint32_t next(uint32_t at) const { return at + *dis_.instruction_length(at, code_at(at)); }
  std::optional<FileCoverage::Branch> branch(uint32_t address) const {
    for (const auto& f : coverage_.report()) {
      for (const auto& b : f.branches) {
        if (b.address == address) return b;
      }
    }
    return std::nullopt;
  }
};

TEST_F(RecorderRules, ConditionalBranchOutcomesOnlyToItsTwoWaysOut) {
  const uint32_t start = *map_.address_of("GetNextHob");
  const uint32_t jcc = find("GetNextHob", [&](uint32_t at) {
    return dis_.conditional_branch(at, code_at(at)).has_value();
  });
  const ConditionalBranch b = *dis_.conditional_branch(jcc, code_at(jcc));
  const uint32_t block = next(jcc) - start;

  recorder_.on_block(start, block);
  recorder_.on_block(b.taken, next(b.taken) - b.taken);
  recorder_.on_block(start, block);
  recorder_.on_block(b.fall_through, next(b.fall_through) - b.fall_through);
  recorder_.on_block(start, block);
  recorder_.on_block(b.fall_through, next(b.fall_through) - b.fall_through);
  EXPECT_EQ(branch(jcc)->taken, 1u);
  EXPECT_EQ(branch(jcc)->fall_through, 2u);
  EXPECT_EQ(recorder_.edges(), 3u);
  EXPECT_EQ(recorder_.blocks(), 6u);

  // A run that stopped after the branch: the next block, elsewhere, is another call's start.
  const uint32_t elsewhere = *map_.address_of("GetBoardId");
  recorder_.on_block(start, block);
  recorder_.on_block(elsewhere, next(elsewhere) - elsewhere);
  // The host's trap page between the branch and its target ends the flow as well.
  recorder_.on_block(start, block);
  recorder_.on_block(Machine::kTrapBase, 1);
  recorder_.on_block(b.taken, next(b.taken) - b.taken);
  // So does the end of a run.
  recorder_.on_block(start, block);
  recorder_.end_run();
  recorder_.on_block(b.taken, next(b.taken) - b.taken);
  EXPECT_EQ(branch(jcc)->taken, 1u);
  EXPECT_EQ(branch(jcc)->fall_through, 2u);
  EXPECT_EQ(recorder_.edges(), 3u);
  EXPECT_EQ(recorder_.blocks(), 12u);  // trap-page blocks are not the module's
}

TEST_F(RecorderRules, CallsIntoTheHostAreNoEdgesOfTheModule) {
  // GetFirstGuidHob calls GetHobList, a routine of the module; GetHobList calls the
  // foundation's GetHobList service through the services table: a trap.
  const auto is_call = [&](uint32_t at) {
    return dis_.flow_kind(at, code_at(at)) == FlowKind::kCall;
  };
  const uint32_t outer = *map_.address_of("GetFirstGuidHob");
  const uint32_t direct = find("GetFirstGuidHob", is_call);
  const uint32_t callee = *map_.address_of("GetHobList");
  char direct_text[32];
  std::snprintf(direct_text, sizeof direct_text, "call 0x%x", callee);
  ASSERT_EQ(dis_.disassemble(direct, code_at(direct), 1).at(0).text, direct_text);
  const uint32_t first_call = find("GetHobList", is_call);
  const uint32_t service = find("GetHobList", [&](uint32_t at) {
    return is_call(at) &&
           dis_.disassemble(at, code_at(at), 1).at(0).text.find("ptr [") != std::string::npos;
  });
  const uint32_t ret = find("GetHobList", [&](uint32_t at) {
    return dis_.flow_kind(at, code_at(at)) == FlowKind::kReturn;
  });

  recorder_.on_block(outer, next(direct) - outer);
  recorder_.on_block(callee, next(first_call) - callee);  // the module's own call: an edge
  EXPECT_EQ(recorder_.edges(), 1u);
  // After the call, the instruction after it: the callee was the host's.
  recorder_.on_block(next(first_call), next(service) - next(first_call));
  EXPECT_EQ(recorder_.edges(), 1u);
  // The service trap returns to the instruction after its call: no jump of the module's.
  recorder_.on_block(next(service), next(ret) - next(service));
  EXPECT_EQ(recorder_.edges(), 1u);
  // A return goes where its caller was, the host's return trap included: no edge either.
  recorder_.on_block(next(direct), next(next(direct)) - next(direct));
  EXPECT_EQ(recorder_.edges(), 1u);
  EXPECT_EQ(recorder_.blocks(), 5u);
  // The blocks count all the same: both routines ran once.
  EXPECT_EQ(coverage_.summary().functions_hit, 2u);
}

// `peiboard coverage`: one board reset between boots gives what fresh boards give, and the
// tracefile's totals are those of the coverage.
TEST(CoverageBoots, ResetBoardsCoverWhatFreshBoardsCover) {
  const std::vector<Scenario> scenarios = boot_scenarios();
  Coverage reused = empty_coverage();
  auto boots = boot_for_coverage(scenarios, module_with_debug_file(), reused);
  ASSERT_TRUE(boots);
  ASSERT_EQ(boots->size(), scenarios.size());
  for (size_t i = 0; i < scenarios.size(); ++i) {
    EXPECT_EQ((*boots)[i].name, scenarios[i].name);
    EXPECT_EQ((*boots)[i].fault.has_value(), scenarios[i].name == "halted") << scenarios[i].name;
  }

  Coverage fresh = empty_coverage();
  for (const Scenario& scenario : scenarios) {
    auto one = boot_for_coverage({scenario}, module_with_debug_file(), fresh);
    ASSERT_TRUE(one);
  }
  EXPECT_EQ(reused.lcov("scenarios", PEIBOARD_FIRMWARE_DIR),
            fresh.lcov("scenarios", PEIBOARD_FIRMWARE_DIR));

  // Booting a scenario twice doubles every count and hits nothing new.
  Coverage twice = empty_coverage();
  ASSERT_TRUE(boot_for_coverage({scenarios[0], scenarios[0]}, module_with_debug_file(), twice));
  Coverage once = empty_coverage();
  ASSERT_TRUE(boot_for_coverage({scenarios[0]}, module_with_debug_file(), once));
  const auto a = once.report(), b = twice.report();
  ASSERT_EQ(a.size(), b.size());
  for (size_t f = 0; f < a.size(); ++f) {
    for (const auto& [line, runs] : a[f].lines) EXPECT_EQ(b[f].lines.at(line), 2 * runs);
  }
  EXPECT_EQ(once.summary().lines_hit, twice.summary().lines_hit);
  EXPECT_EQ(once.summary().branches_hit, twice.summary().branches_hit);
}

TEST(CoverageBoots, ATraceFileAddsUpToItsSummary) {
  Coverage coverage = empty_coverage();
  ASSERT_TRUE(boot_for_coverage(boot_scenarios(), module_with_debug_file(), coverage));
  const CoverageSummary s = coverage.summary();
  std::istringstream in(coverage.lcov("scenarios", PEIBOARD_FIRMWARE_DIR));
  uint32_t lf = 0, lh = 0, brf = 0, brh = 0, fnf = 0, fnh = 0;
  for (std::string line; std::getline(in, line);) {
    auto value = [&](const char* key) {
      return line.rfind(key, 0) == 0 ? static_cast<uint32_t>(std::stoul(line.substr(strlen(key))))
                                     : 0u;
    };
    lf += value("LF:");
    lh += value("LH:");
    brf += value("BRF:");
    brh += value("BRH:");
    fnf += value("FNF:");
    fnh += value("FNH:");
  }
  EXPECT_EQ(lf, s.lines_found);
  EXPECT_EQ(lh, s.lines_hit);
  EXPECT_EQ(brf, s.branches_found);
  EXPECT_EQ(brh, s.branches_hit);
  EXPECT_EQ(fnf, s.functions_found);
  EXPECT_EQ(fnh, s.functions_hit);
  EXPECT_EQ(coverage_totals({.lines_found = 8,
                             .lines_hit = 6,
                             .functions_found = 2,
                             .functions_hit = 1,
                             .branches_found = 4,
                             .branches_hit = 0}),
            "lines 75.0% (6 of 8), functions 50.0% (1 of 2), branches 0.0% (0 of 4)");
}

TEST(CoverageBoots, NoScenarioNoBoot) {
  Coverage coverage = empty_coverage();
  auto boots = boot_for_coverage({}, module_with_debug_file(), coverage);
  ASSERT_TRUE(boots);
  EXPECT_TRUE(boots->empty());
  EXPECT_EQ(coverage.summary().lines_hit, 0u);
}

// The module tests' fixture: with PEIBOARD_COVERAGE_DIR set, a test's boards leave the
// tracefile of what they ran, named after the test.
class FixtureProbe : public BoardTest {
 public:
  void TestBody() override {}
  using BoardTest::call;
  using BoardTest::make_board;
  using BoardTest::TearDown;
};

TEST(ModuleTestCoverage, ATestsBoardsWriteItsTracefile) {
  const auto dir = std::filesystem::path(PEIBOARD_TEST_WORK) / "fixture-coverage";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  ASSERT_EQ(setenv("PEIBOARD_COVERAGE_DIR", dir.c_str(), 1), 0);
  {
    FixtureProbe probe;
    probe.make_board();
    probe.call("GetPchStepping");
    probe.make_board();  // a second board of the same test adds to the same file
    probe.call("GetBoardId");
    probe.TearDown();
  }
  unsetenv("PEIBOARD_COVERAGE_DIR");
  {
    FixtureProbe probe;  // without the variable nothing is written
    probe.make_board();
    probe.call("GetBoardId");
    probe.TearDown();
  }
  const auto file = dir / "ModuleTestCoverage__ATestsBoardsWriteItsTracefile.info";
  ASSERT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str().rfind("TN:ModuleTestCoverage__ATestsBoardsWriteItsTracefile\nSF:" +
                                 std::string(PEIBOARD_FIRMWARE_DIR) + "/",
                             0),
            0u);
  EXPECT_NE(text.str().find("FNDA:1,GetPchStepping\n"), std::string::npos);
  EXPECT_NE(text.str().find("FNDA:1,GetBoardId\n"), std::string::npos);
  EXPECT_NE(text.str().find("FNDA:0,SystemBoardOverrideEntryPoint\n"), std::string::npos);
}

}  // namespace
}  // namespace peiboard::testing
