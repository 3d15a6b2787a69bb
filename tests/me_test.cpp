// ME firmware type detection and the clocking-mode discovery over HECI or the soft strap.
#include <cstdio>

#include "board_fixture.h"

namespace peiboard::testing {
namespace {

constexpr uint32_t kInvalidParameter = 0x80000002;
constexpr uint32_t kUnsupported = 0x80000003;
constexpr uint32_t kNotReady = 0x80000006;
constexpr uint32_t kDeviceError = 0x80000007;
constexpr uint32_t kSps = 1, kCode2 = 2, kDfx = 15, kCode255 = 255, kNotRecognized = 0;

class MeTypeTest : public BoardTest {
 protected:
  uint32_t me_type() { return call("GetOnBoardMeType"); }
  void set_mefs1(uint32_t value) { board().chipset().function(hw::kHeci)->set(0x40, 4, value); }
};

TEST_F(MeTypeTest, DwrFlowWinsOverMefs1) {
  scenario.pmc.dwr = true;
  EXPECT_EQ(me_type(), kDfx);
  EXPECT_EQ(prints(),
            std::vector<std::string>{"HECI: GetOnBoardMeType() for DWR flow return Dfx type\n"});
  EXPECT_EQ(accesses_at(0x800B0040), 0u) << "MEFS1 is not read";
}

TEST_F(MeTypeTest, StateFieldBeforeOperationMode) {
  scenario.heci.mefs1 = 0x000F0005;
  EXPECT_EQ(me_type(), kSps);
  EXPECT_EQ(prints(), std::vector<std::string>{"HECI: MeOperationMode = 15\n"});
  scenario.heci.mefs1 = 0x000F0004;
  make_board();
  EXPECT_EQ(me_type(), kCode255);
  EXPECT_TRUE(prints().empty()) << "no operation-mode line";
  for (auto [mefs1, type] : std::vector<std::pair<uint32_t, uint32_t>>{{0x00000005, kCode2},
                                                                       {0x00050000, kCode2},
                                                                       {0x00020000, kCode255},
                                                                       {0x00070001, kCode255},
                                                                       {0x0003000F, kDfx}}) {
    scenario.heci.mefs1 = mefs1;
    make_board();
    EXPECT_EQ(me_type(), type) << std::hex << mefs1;
  }
}

TEST_F(MeTypeTest, EveryOperationModeHasItsType) {
  const std::array<uint32_t, 16> type{
      kCode2,         kCode2,         kCode255,       kCode2,
      kCode2,         kCode2,         kNotRecognized, kCode255,
      kNotRecognized, kNotRecognized, kNotRecognized, kNotRecognized,
      kNotRecognized, kNotRecognized, kNotRecognized, kSps};
  for (uint32_t mode = 0; mode < 16; ++mode) {
    set_mefs1(mode << 16 | 0x5);
    EXPECT_EQ(me_type(), type[mode]) << "operation mode " << mode;
  }
}

TEST_F(MeTypeTest, EveryStateFieldOfAnSpsFirmware) {
  for (uint32_t state = 0; state < 16; ++state) {
    set_mefs1(0xFFF00000 | 15u << 16 | 0x0000FFF0 | state);  // bits outside both fields set
    const uint32_t expected = state == 4 ? kCode255 : state == 15 ? kDfx : kSps;
    EXPECT_EQ(me_type(), expected) << "state " << state;
    EXPECT_EQ(call("IsSpsMeInStateTwo") & 0xFF, state == 2 ? 1u : 0u) << "state " << state;
  }
}

TEST_F(MeTypeTest, OnlyBit15OfTheDwrRegisterCounts) {
  // A PWRM block in memory this test controls, named by the PMC's base register.
  const uint32_t pwrm = board().scratch(0x10000, 0x10000);
  board().chipset().function(hw::kPmc)->set(0x48, 4, pwrm | 0x1234);
  mem().write32(pwrm + 0x12C, 0xFFFF7FFF);
  EXPECT_EQ(call("IsDwrFlow") & 0xFF, 0u);
  mem().write32(pwrm + 0x12C, 0x00008000);
  EXPECT_EQ(call("IsDwrFlow") & 0xFF, 1u);
  EXPECT_TRUE(asserts().empty());
}

TEST_F(MeTypeTest, UnknownOperationModeShowsMefs1AndMefs2) {
  scenario.heci.mefs1 = 0x00060005;
  scenario.heci.mefs2 = 0x12345678;
  EXPECT_EQ(me_type(), kNotRecognized);
  EXPECT_EQ(prints(),
            (std::vector<std::string>{"HECI: MeOperationMode = 6\n",
                                      "HECI: ME type not recognized (MEFS1: 0x00060005)\n",
                                      "                             (MEFS2: 0x12345678)\n"}));
  EXPECT_EQ(print_levels(), (std::vector<uint32_t>{kInfo, kError, kError}));
}

TEST_F(MeTypeTest, AbsentHeciWithoutHobIsDfxAfterThreeLines) {
  scenario.heci.present = false;
  EXPECT_EQ(me_type(), kDfx);
  EXPECT_EQ(prints(),
            (std::vector<std::string>{"HECI: GetMeFs1FromHob() Can't read correctly MeFwHob info\n",
                                      "HECI: GetMeFs1FromHob() returns MEFS1 = -1\n",
                                      "HECI: GetOnBoardMeType() reads Hfs info from HOB = -1\n"}));
}

TEST_F(MeTypeTest, HobOfAnotherFunctionIsRejected) {
  scenario.heci.present = false;
  scenario.me_fw = {true, 1, 0x000F0005};
  EXPECT_EQ(me_type(), kDfx);
  EXPECT_EQ(asserts(), std::vector<std::string>{
                           "ServerSktPkg/Me/Heci/Library/MeTypeLib/MeTypeLib:67:MeFwHob->Group[0]."
                           "FunNumber == HECI1_DEVICE"});
}

TEST_F(MeTypeTest, HobRecordingAllOnesIsUnusable) {
  scenario.heci.present = false;
  scenario.me_fw = {true, 0, 0xFFFFFFFF};
  EXPECT_EQ(me_type(), kDfx);
  EXPECT_EQ(prints(),
            (std::vector<std::string>{"HECI: GetMeFs1FromHob() Can't read correctly MeFwHob info\n",
                                      "HECI: GetMeFs1FromHob() returns MEFS1 = -1\n",
                                      "HECI: GetOnBoardMeType() reads Hfs info from HOB = -1\n"}));
  EXPECT_TRUE(asserts().empty());
}

TEST_F(MeTypeTest, WithoutAUsableHobTheCallersDefaultIsReturned) {
  EXPECT_EQ(call("GetMeFs1FromHob", {0x1234}), 0x1234u);
  EXPECT_EQ(prints().back(), "HECI: GetMeFs1FromHob() returns MEFS1 = 4660\n");
  scenario.me_fw = {true, 1, 0x000F0005};
  make_board();
  EXPECT_EQ(call("GetMeFs1FromHob", {0x1234}), 0x1234u);
  scenario.me_fw = {true, 0, 0x000F0005};
  make_board();
  EXPECT_EQ(call("GetMeFs1FromHob", {0x1234}), 0x000F0005u);
}

TEST_F(MeTypeTest, HobValueStandsInForAbsentHardwareButNotForStateTwo) {
  scenario.heci.present = false;
  scenario.me_fw = {true, 0, 0x000F0005};
  EXPECT_EQ(me_type(), kSps);
  EXPECT_EQ(prints()[0], "HECI: GetMeFs1FromHob() returns MEFS1 = 983045\n");
  EXPECT_EQ(call("IsSpsMeInStateTwo") & 0xFF, 0u) << "bits 3:0 of the all-ones register are 15";
}

TEST_F(MeTypeTest, SpsInStateTwo) {
  scenario.heci.mefs1 = 0x000F0002;
  EXPECT_EQ(call("IsSpsMeInStateTwo") & 0xFF, 1u);
  scenario.heci.mefs1 = 0x000F0005;
  make_board();
  EXPECT_EQ(call("IsSpsMeInStateTwo") & 0xFF, 0u);
  scenario.heci.mefs1 = 0x00000002;
  make_board();
  EXPECT_EQ(call("IsSpsMeInStateTwo") & 0xFF, 0u) << "not SPS";
}

TEST_F(MeTypeTest, MissingPmcMeansNoDwrFlow) {
  scenario.pmc.present = false;
  EXPECT_EQ(call("IsDwrFlow") & 0xFF, 0u);
  EXPECT_EQ(assert_lines(), (std::vector<uint32_t>{303, 162}));
  EXPECT_EQ(
      asserts()[1],
      "ServerSktPkg/SouthClusterSrv/Library/PeiDxeSmmPchPmcLib/PchPmcLib:162:PchPwrmBase != 0");
}

TEST_F(MeTypeTest, HeciConfigurationSpaceIsDeviceTwentyTwoFunctionZero) {
  EXPECT_EQ(call("GetHeci1CfgBase"), 0x800B0000u);
  scenario.pcd.mcfg = {true, 144, {0xC0000000}};
  make_board();
  EXPECT_EQ(call("GetHeci1CfgBase"), 0xC00B0000u)
      << "the platform table's base, as for any function";
}

class ClockingTest : public BoardTest {
 protected:
  // Runs PeiGetCurrenClockingMode on a variable holding `initial`; returns the status.
  uint32_t query(uint32_t initial = 0xC0C0) {
    mode_ = board().scratch(4);
    mem().write32(mode_, initial);
    return call("PeiGetCurrenClockingMode", {mode_});
  }
  uint32_t mode() { return mem().read32(mode_); }
  void non_sps() { scenario.heci.mefs1 = 0x00000005; }
  uint32_t mode_ = 0;
};

TEST_F(ClockingTest, NullModeOnlyPrintsEntryAndExit) {
  EXPECT_EQ(call("PeiGetCurrenClockingMode", {0}), kInvalidParameter);
  EXPECT_EQ(prints(), (std::vector<std::string>{
                          "[ME] PeiGetCurrenClockingMode\n",
                          "[ME] PeiGetCurrenClockingMode exit status = Invalid Parameter \n"}));
  EXPECT_EQ(calls_to("Heci."), 0u);
  EXPECT_EQ(calls_to("Spi."), 0u);
}

TEST_F(ClockingTest, SoftStrapChoices) {
  non_sps();
  scenario.spi.soft_strap = 0xFFFFFFFE;  // choice 2; higher bits never matter
  EXPECT_EQ(query(), 0u);
  EXPECT_EQ(mode(), 4u) << "External";
  EXPECT_EQ(calls_to("Heci."), 0u);
  const auto p = prints();
  ASSERT_GE(p.size(), 6u);
  EXPECT_EQ(p[0], "[ME] PeiGetCurrenClockingMode\n");
  EXPECT_EQ(p[2], "[ME] PeiGetCurrenClockingMode: Non SPS ME detected\n");
  EXPECT_EQ(p[3], "[ME] PeiGetCurrenClockingMode: Read clock mode from SoftStraps\n");
  EXPECT_EQ(p[4], "(Hsio) GetClockingMode() SPI SoftStrap read = 0xfffffffe");
  EXPECT_EQ(p[5], " (0x2)\n");
  EXPECT_EQ(p[6], "(Hsio) GetClockingMode() returns External");
  EXPECT_EQ(p.back(), "[ME] PeiGetCurrenClockingMode exit status = Success \n");

  for (uint8_t choice : {uint8_t{1}, uint8_t{3}}) {
    scenario.spi.soft_strap = choice;
    make_board();
    EXPECT_EQ(query(), 0u);
    EXPECT_EQ(mode(), 0u);
    const auto lines = prints();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "(Hsio) GetClockingMode() Warning: unsupported clocking mode choice, "
                        "assuming internal\n"),
              lines.end());
  }
}

TEST_F(ClockingTest, ChoiceZeroDependsOnTheFirstServerStepping) {
  non_sps();
  scenario.spi.soft_strap = 0xFFFFFFFC;  // choice 0
  scenario.pch.lpc_revision_id = 0x00;   // stepping 0x30
  EXPECT_EQ(query(), 0u);
  EXPECT_EQ(mode(), 0u) << "InternalStandard";
  scenario.pch.lpc_revision_id = 0x04;  // stepping 0x33
  make_board();
  EXPECT_EQ(query(), 0u);
  EXPECT_EQ(mode(), 1u) << "ClockingModeCode10";
  const auto p = prints();
  EXPECT_NE(std::find(p.begin(), p.end(), "(Hsio) GetClockingMode() returns External"), p.end());
}

TEST_F(ClockingTest, ChoiceZeroGivesCode10OnEveryOtherStepping) {
  // Steppings below and beyond the server ones, the unsupported 0x36 included.
  for (auto [device, revision] : std::vector<std::pair<uint16_t, uint8_t>>{
           {0xA145, 0x31}, {0x9D48, 0x10}, {0xA1C3, 0x01}, {0xA1C3, 0x02}}) {
    scenario.pch.lpc_device_id = device;
    scenario.pch.lpc_revision_id = revision;
    make_board();
    EXPECT_EQ(call("GetClockingMode"), 0x10u) << std::hex << device << " " << int{revision};
  }
}

TEST_F(ClockingTest, MissingSpiOrFailingReadGivesInternal) {
  non_sps();
  scenario.spi.ppi_present = false;
  EXPECT_EQ(query(), 0u);
  EXPECT_EQ(mode(), 0u);
  scenario.spi.ppi_present = true;
  scenario.spi.status = kDeviceError;
  scenario.spi.soft_strap = 2;
  make_board();
  EXPECT_EQ(query(), 0u);
  EXPECT_EQ(mode(), 0u);
}

TEST_F(ClockingTest, SpsAsksTheMeOverHeci) {
  scenario.me_icc.clocking_mode = 0x12;
  EXPECT_EQ(query(), 0u);
  EXPECT_EQ(mode(), 4u);
  ASSERT_EQ(board().ppis().heci_requests.size(), 1u);
  const HeciRequest& r = board().ppis().heci_requests[0];
  EXPECT_TRUE(r.problems.empty()) << r.problems.front();
  EXPECT_EQ(calls_to("SetMem"), 1u);
  const auto p = prints();
  EXPECT_EQ(std::count(p.begin(), p.end(), "HECI: MeOperationMode = 15\n"), 4)
      << "the ME type is evaluated four times on this path";
  EXPECT_NE(
      std::find(p.begin(), p.end(), "[ME] PeiGetCurrenClockingMode: For SPS ME use Heci message\n"),
      p.end());
  EXPECT_NE(
      std::find(p.begin(), p.end(), "[ICC] SpsSetGetCurrenClockingMode exit status = Success \n"),
      p.end());
  EXPECT_EQ(calls_to("Spi."), 0u);

  for (auto [raw, expected] : std::vector<std::pair<uint8_t, uint32_t>>{
           {0x00, 0}, {0x10, 1}, {0x01, 2}, {0x11, 3}, {0x02, 4}}) {
    scenario.me_icc.clocking_mode = raw;
    make_board();
    EXPECT_EQ(query(), 0u);
    EXPECT_EQ(mode(), expected) << int{raw};
  }
}

TEST_F(ClockingTest, UnknownRawCodeLeavesTheModeAlone) {
  // Every neighbour of the six known codes, and codes with the top bit set.
  for (uint8_t raw : std::vector<uint8_t>{0x03, 0x0F, 0x13, 0x20, 0x7F, 0x80, 0x90, 0x92, 0xFF}) {
    scenario.me_icc.clocking_mode = raw;
    make_board();
    EXPECT_EQ(query(0x77), kUnsupported) << int{raw};
    EXPECT_EQ(mode(), 0x77u) << int{raw};
    const auto p = prints();
    char line[80];
    std::snprintf(line, sizeof line,
                  "(ME) PeiGetCurrenClockingMode: Unknown Clocking Mode = 0x%x\n", raw);
    EXPECT_NE(std::find(p.begin(), p.end(), line), p.end()) << int{raw};
  }
}

TEST_F(ClockingTest, WrongReplyIsADeviceErrorWithoutFallback) {
  for (auto [command, response, shown] : std::vector<std::tuple<uint32_t, uint32_t, const char*>>{
           {0x1A, 5, "0x5"}, {0x1B, 0, "0x0"}}) {
    scenario.me_icc.reply_command = command;
    scenario.me_icc.reply_response = response;
    make_board();
    EXPECT_EQ(query(0x77), kDeviceError);
    EXPECT_EQ(mode(), 0x77u);
    const auto p = prints();
    EXPECT_NE(std::find(p.begin(), p.end(),
                        std::string("(ICC) SpsSetGetCurrenClockingMode: Wrong response! "
                                    "IccHeader.IccResponse = ") +
                            shown + "\n"),
              p.end());
    EXPECT_EQ(calls_to("Spi."), 0u);
  }
}

TEST_F(ClockingTest, HeciNotReadyFallsBackToTheStrapOtherErrorsDoNot) {
  scenario.me_icc.status = kNotReady;
  scenario.spi.soft_strap = 2;
  EXPECT_EQ(query(), 0u);
  EXPECT_EQ(mode(), 4u);
  EXPECT_EQ(calls_to("Spi.ReadPchSoftStrap"), 1u);

  scenario.me_icc.status = kDeviceError;
  make_board();
  EXPECT_EQ(query(0x77), kDeviceError);
  EXPECT_EQ(mode(), 0x77u);

  scenario.me_icc.status = 0;
  scenario.me_icc.ppi_present = false;
  make_board();
  EXPECT_EQ(query(0x77), kDeviceError);
  EXPECT_EQ(calls_to("Spi."), 0u);
}

TEST_F(ClockingTest, ReplyLengthBeyondTheBufferIsNeverUsed) {
  // The module reads the reply from its 48-byte buffer only; a length it trusted would run
  // past its stack frame.
  scenario.me_icc.reply_length = 0x10000;
  scenario.me_icc.clocking_mode = 0x12;
  EXPECT_EQ(query(), 0u);
  EXPECT_EQ(mode(), 4u);
}

TEST_F(ClockingTest, IccExchangeOnlyForAnSpsFirmwareOutOfStateTwo) {
  const auto exchange = [&](uint32_t message) {
    return call("SpsSetGetCurrenClockingMode", {message});
  };
  non_sps();
  EXPECT_EQ(exchange(board().scratch(48, 4)), kUnsupported);
  scenario.heci.mefs1 = 0x000F0002;
  make_board();
  EXPECT_EQ(exchange(board().scratch(48, 4)), kUnsupported);
  scenario.heci.mefs1 = 0x000F0005;
  make_board();
  EXPECT_EQ(exchange(0), kInvalidParameter);
  EXPECT_EQ(prints().back(),
            "[ICC] SpsSetGetCurrenClockingMode exit status = Invalid Parameter \n");
  EXPECT_TRUE(board().ppis().heci_requests.empty());
  EXPECT_EQ(exchange(board().scratch(48, 4)), 0u);
  EXPECT_EQ(board().ppis().heci_requests.size(), 1u);
}

TEST_F(ClockingTest, SpsInStateTwoUsesTheStrap) {
  scenario.heci.mefs1 = 0x000F0002;
  scenario.spi.soft_strap = 2;
  EXPECT_EQ(query(), 0u);
  EXPECT_EQ(mode(), 4u);
  EXPECT_EQ(calls_to("Heci."), 0u);
}

}  // namespace
}  // namespace peiboard::testing
