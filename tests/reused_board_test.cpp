// A board reset to a scenario answers as a board built for it, byte for byte, trace included:
// over every scenario file of the tree and hundreds of platforms of both fuzzing modes.
#include <gtest/gtest.h>

#include "board_fixture.h"
#include "fuzz_fixture.h"
#include "report.h"
#include "scenario_writer.h"

namespace peiboard::fuzz {
namespace {

using peiboard::testing::module_image;

// One boot's JSON, trace included. A board without exact EIP names a fault by its block, the
// same whatever the board booted before.
std::string json_of(Board& board) {
  const RunResult r = board.boot();
  return run_json(board, r, true).dump();
}

TEST(ReusedBoard, AnswersEveryPlatformAsAFreshBoard) {
  std::vector<Scenario> scenarios;
  for (const auto& file : scenario_files()) scenarios.push_back(load_scenario_file(file).value());
  for (const Mode mode : {Mode::kPlatform, Mode::kHostile}) {
    const auto generated = platforms(mode, 200, 17);
    scenarios.insert(scenarios.end(), generated.begin(), generated.end());
  }
  for (const bool precise : {true, false}) {
    auto reused = Board::create(default_scenario(), module_image(), {.precise = precise});
    size_t faulted = 0;
    for (size_t i = 0; i < scenarios.size(); ++i) {
      SCOPED_TRACE((precise ? "precise, scenario " : "scenario ") + std::to_string(i) + "\n" +
                   write_scenario(scenarios[i]).value());
      ASSERT_TRUE((*reused)->reset(scenarios[i]));
      const std::string again = json_of(**reused);
      auto fresh = Board::create(scenarios[i], module_image(), {.precise = precise});
      ASSERT_TRUE(fresh);
      const std::string first = json_of(**fresh);
      faulted += first.find("\"fault\":null") == std::string::npos;
      ASSERT_EQ(again, first);
    }
    EXPECT_GT(faulted, 30u) << "hostile platforms fault on both";
  }
}

// The engine keeps EIP up to date inside chained blocks only when a code hook asks it to, so a
// board that is not precise names the block that faulted, whatever it booted before.
// A scenario the memory map cannot hold is refused by create() and by reset() alike, with the
// scenario's error whole: the key it names, and the text the command prints.
TEST(ReusedBoard, RefusesALayoutTheMapCannotHoldNamingTheKey) {
  Scenario s = default_scenario();
  s.source = "layout.toml";
  s.pmc.pwrm_base = hw::kPcrBase;
  auto made = Board::create(s, module_image());
  ASSERT_FALSE(made);
  ASSERT_TRUE(made.error().scenario);
  EXPECT_EQ(made.error().scenario->key, "pmc.pwrm_base");
  EXPECT_EQ(made.error().message,
            "layout.toml: key 'pmc.pwrm_base': the 64 KiB PWRM block at 0xFD000000 overlaps the "
            "PCR window");
  auto board = Board::create(default_scenario(), module_image());
  ASSERT_TRUE(board);
  const auto reset = (*board)->reset(s);
  ASSERT_FALSE(reset);
  ASSERT_TRUE(reset.error().scenario);
  EXPECT_EQ(reset.error().scenario->to_string(), made.error().message);
}

TEST(ReusedBoard, AFastBoardNamesTheFaultingBlockWhateverItBootedBefore) {
  Scenario s = default_scenario();
  s.foundation.hob_list = 0xFFC;
  auto reused = Board::create(default_scenario(), module_image());
  for (const Scenario& other : platforms(Mode::kHostile, 200, 23)) {
    ASSERT_TRUE((*reused)->reset(other));
    (*reused)->boot();
  }
  ASSERT_TRUE((*reused)->reset(s));
  const RunResult again = (*reused)->boot();
  auto fresh = Board::create(s, module_image());
  const RunResult first = (*fresh)->boot();
  ASSERT_TRUE(again.fault && first.fault);
  EXPECT_EQ(again.fault->eip, first.fault->eip);
  EXPECT_EQ(again.fault->routine, first.fault->routine);
}

}  // namespace
}  // namespace peiboard::fuzz
