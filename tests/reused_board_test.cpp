// A board reset to a scenario answers as a board built for it, byte for byte, trace included.
#include <gtest/gtest.h>

#include "board_fixture.h"
#include "fuzz_fixture.h"
#include "report.h"

namespace peiboard::fuzz {
namespace {

using peiboard::testing::module_image;

// One boot's JSON, trace included.
std::string json_of(Board& board) {
  const RunResult r = board.boot();
  return run_json(board, r, true).dump();
}

TEST(ReusedBoard, AnswersEveryScenarioFileAsAFreshBoard) {
  std::vector<Scenario> scenarios;
  for (const auto& file : scenario_files()) scenarios.push_back(load_scenario_file(file).value());
  for (const bool precise : {true, false}) {
    auto reused = Board::create(default_scenario(), module_image(), {.precise = precise});
    for (size_t i = 0; i < scenarios.size(); ++i) {
      SCOPED_TRACE((precise ? "precise, " : "") + scenarios[i].source);
      ASSERT_TRUE((*reused)->reset(scenarios[i]));
      const std::string again = json_of(**reused);
      auto fresh = Board::create(scenarios[i], module_image(), {.precise = precise});
      ASSERT_TRUE(fresh);
      ASSERT_EQ(again, json_of(**fresh));
    }
  }
}

}  // namespace
}  // namespace peiboard::fuzz
