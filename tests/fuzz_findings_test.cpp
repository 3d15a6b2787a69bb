// How the module answers what hostile fuzzing found: each test boots the minimized platform of
// a finding on the real image and checks the module's fix.
#include "board_fixture.h"

namespace peiboard::testing {
namespace {

class FuzzFindingTest : public BoardTest {};

TEST_F(FuzzFindingTest, ANullHobListIsReportedAndHoldsNoHob) {
  // GetHobList hands out null: both assertions are reported, then the walk finds nothing
  // instead of reading page 0 for HOBs.
  scenario.foundation.hob_list = 0;
  EXPECT_EQ(call("GetNextHob", {4, 0}), 0u);
  EXPECT_EQ(asserts(), std::vector<std::string>{"BasePkg/Library/PeiHobLib/HobLib:82:HobStart != "
                                                "((void *) 0)"});
  clear_log();
  const RunResult r = board().boot();
  EXPECT_FALSE(r.fault) << r.fault->text() << " in " << r.fault->routine;
  EXPECT_EQ(assert_lines(), (std::vector<uint32_t>{51, 82, 91}))
      << "GetHobList's, GetNextHob's, and GetBoardId's for the board id it does not find";
  EXPECT_TRUE(r.slot15_called);
  EXPECT_EQ(r.policy, r.policy_before) << "no board 14 entry applies to the unknown board";
}

// Every print of the run, in order, as one text.
std::string console(Board& board) {
  std::string text;
  for (const auto& e : board.log().events) {
    if (e.kind == Event::Kind::kPrint) text += e.text;
  }
  return text;
}

TEST_F(FuzzFindingTest, AHeciLocateWithoutAnInterfaceIsAMissingHeciPpi) {
  // LocatePpi says success but hands out no interface: the SPS path ends as without the PPI.
  scenario.foundation.locate = {{guids::kHeci, 0, std::nullopt, std::nullopt}};
  const RunResult r = board().boot();
  EXPECT_FALSE(r.fault) << r.fault->text() << " in " << r.fault->routine;
  const std::string text = console(board());
  EXPECT_NE(text.find("[ICC] SpsSetGetCurrenClockingMode exit status = Device Error \n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("Read clock mode from SoftStraps"), std::string::npos);
  EXPECT_EQ(board().ppis().heci_request_count, 0u);
}

TEST_F(FuzzFindingTest, ASpiLocateWithoutAnInterfaceIsAMissingSpiPpi) {
  // A non-SPS ME reads the soft strap; the SPI PPI "found" without an interface gives the
  // internal standard mode, as a missing one does.
  scenario.heci.mefs1 = 0x00000005;  // operation mode 0
  scenario.foundation.locate = {{guids::kSpi, 0, std::nullopt, std::nullopt}};
  const RunResult r = board().boot();
  EXPECT_FALSE(r.fault) << r.fault->text() << " in " << r.fault->routine;
  const std::string text = console(board());
  EXPECT_NE(text.find("(Hsio) GetClockingMode() returns InternalStandard"), std::string::npos)
      << text;
  EXPECT_EQ(text.find("SPI SoftStrap read"), std::string::npos);
}

}  // namespace
}  // namespace peiboard::testing
