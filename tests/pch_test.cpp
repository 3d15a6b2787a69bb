// PCH identification and register access: stepping and series with their caches, PCR
// reads, the three lane lookups, the root-port map and the PWRM base.
#include <array>
#include <map>

#include "board_fixture.h"
#include "bytes.h"

namespace peiboard::testing {
namespace {

constexpr uint32_t kInvalidParameter = 0x80000002;
constexpr uint32_t kUnsupported = 0x80000003;
constexpr const char* kInfoLib =
    "ServerSktPkg/SouthClusterSrv/Library/PeiDxeSmmPchInfoLib/PchInfoLib";
constexpr const char* kHsioLib =
    "ServerSktPkg/SouthClusterSrv/Library/PeiDxeSmmPchHsioLib/PchHsioLib";

class IdentityTest : public BoardTest {
 protected:
  void pch(uint16_t device, uint8_t revision) {
    scenario.pch.lpc_device_id = device;
    scenario.pch.lpc_revision_id = revision;
    make_board();
  }
  std::vector<uint32_t> counts() {
    return {call("GetPchPcieRpCount") & 0xFF, call("GetPchSataPortCount") & 0xFF,
            call("GetPchSecondarySataPortCount") & 0xFF};
  }
  void set_lpc(uint16_t device, uint8_t revision) {
    auto* lpc = board().chipset().function(hw::kLpc);
    lpc->set(0x02, 2, device);
    lpc->set(0x08, 1, revision);
  }
  // The answer of a freshly loaded module (both identity caches at their initial values) on an
  // LPC bridge with this identity.
  uint32_t fresh_stepping(uint16_t device, uint8_t revision) {
    forget_identity();
    set_lpc(device, revision);
    return call("GetPchStepping");
  }
  uint32_t fresh_series(uint16_t device) {
    forget_identity();
    set_lpc(device, 0);
    return call("GetPchSeries");
  }
  void forget_identity() {
    mem().write32(board().symbol("CachedPchStepping"), 0x36);
    mem().write32(board().symbol("CachedPchSeries"), 3);
  }
};

TEST_F(IdentityTest, ServerPartsBySteppingAndSeries) {
  pch(0xA1C3, 0x04);
  EXPECT_EQ(call("GetPchStepping"), 0x33u);
  EXPECT_EQ(call("GetPchSeries"), 1u);
  EXPECT_EQ(counts(), (std::vector<uint32_t>{20, 8, 6}));
  pch(0xA24F, 0x09);
  EXPECT_EQ(call("GetPchStepping"), 0x35u);
  pch(0xA1C0, 0x00);
  EXPECT_EQ(call("GetPchStepping"), 0x30u);
  EXPECT_TRUE(board().log().events.empty());
}

TEST_F(IdentityTest, UnsupportedServerRevisionReportsEveryTime) {
  pch(0xA240, 0x01);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(call("GetPchStepping"), 0x36u);
  const std::string line =
      "Unsupported PCH Stepping. Supporting PCH stepping starting from PchSrvA0 and above\n";
  EXPECT_EQ(prints(), (std::vector<std::string>{line, line}));
  EXPECT_EQ(print_levels(), (std::vector<uint32_t>{kError, kError}));
  EXPECT_EQ(asserts(),
            (std::vector<std::string>{std::string(kInfoLib) + ":167:((BOOLEAN)(0==1))",
                                      std::string(kInfoLib) + ":167:((BOOLEAN)(0==1))"}));
}

TEST_F(IdentityTest, DeviceIdsAtTheGroupEdges) {
  pch(0xA14C, 0x00);  // the hole in the first group
  EXPECT_EQ(call("GetPchStepping"), 0x36u);
  EXPECT_TRUE(board().log().events.empty()) << "no message for an unknown device id";
  EXPECT_EQ(call("GetPchSeries"), 3u);
  EXPECT_EQ(prints(), std::vector<std::string>{"Unsupported PCH SKU, LpcDeviceId: 0xa14c!\n"});
  EXPECT_EQ(assert_lines(), std::vector<uint32_t>{252});
  clear_log();
  EXPECT_EQ(counts(), (std::vector<uint32_t>{0, 0, 6}));
  EXPECT_EQ(assert_lines(), (std::vector<uint32_t>{252, 252})) << "series 3 is asked again";

  pch(0x9D44, 0x10);  // between the LP ids
  EXPECT_EQ(call("GetPchStepping"), 0x36u);
  EXPECT_TRUE(board().log().events.empty());
  EXPECT_EQ(call("GetPchSeries"), 3u);
  EXPECT_EQ(prints(), std::vector<std::string>{"Unsupported PCH SKU, LpcDeviceId: 0x9d44!\n"});
}

TEST_F(IdentityTest, LpPartWithoutSupportedRevision) {
  pch(0x9D48, 0x00);
  EXPECT_EQ(call("GetPchStepping"), 0x36u);
  EXPECT_EQ(prints(), std::vector<std::string>{
                          "Unsupported PCH Stepping. Supporting PCH stepping starting from "
                          "PchLpB0 and above\n"});
  EXPECT_TRUE(asserts().empty());
  EXPECT_EQ(call("GetPchSeries"), 2u);
  EXPECT_EQ(counts(), (std::vector<uint32_t>{12, 3, 6}));
}

// Every device id around the three groups, and the holes inside them, lands in its group: a
// PchH id gives stepping 0x04 for revision 0x31, a PchLp id 0x23 for 0x10, a PchSrv id 0x33 for
// 0x04; the series is H only for PchSrv and LP only for PchLp.
TEST_F(IdentityTest, DeviceIdGroupsAcrossTheirWholeRanges) {
  enum Group { kNone, kH, kLp, kSrv };
  auto expected = [](uint16_t id) {
    if (id >= 0xA140 && id <= 0xA150 && id != 0xA14C) return kH;
    for (int lp : {0x9D40, 0x9D41, 0x9D42, 0x9D43, 0x9D46, 0x9D48}) {
      if (id == lp) return kLp;
    }
    if ((id >= 0xA1C0 && id <= 0xA1CF) || (id >= 0xA240 && id <= 0xA24F)) return kSrv;
    return kNone;
  };
  std::vector<uint16_t> ids;
  for (auto [first, last] : std::vector<std::pair<uint16_t, uint16_t>>{
           {0x9D3E, 0x9D4A}, {0xA13E, 0xA152}, {0xA1BE, 0xA1D1}, {0xA23E, 0xA251}}) {
    for (uint32_t id = first; id <= last; ++id) ids.push_back(static_cast<uint16_t>(id));
  }
  for (uint16_t id : ids) {
    const Group group = expected(id);
    EXPECT_EQ(fresh_stepping(id, 0x31) == 0x04, group == kH) << std::hex << id;
    EXPECT_EQ(fresh_stepping(id, 0x10) == 0x23, group == kLp) << std::hex << id;
    EXPECT_EQ(fresh_stepping(id, 0x04) == 0x33, group == kSrv) << std::hex << id;
    const uint32_t series = fresh_series(id);
    EXPECT_EQ(series, group == kSrv ? 1u : group == kLp ? 2u : 3u) << std::hex << id;
    // The group tests on their own, as the image also holds them (every use above has its
    // own inlined copy).
    EXPECT_EQ(call("IsPchHDeviceId", {id}) & 0xFF, group == kH ? 1u : 0u) << std::hex << id;
    EXPECT_EQ(call("IsPchLpDeviceId", {id}) & 0xFF, group == kLp ? 1u : 0u) << std::hex << id;
    EXPECT_EQ(call("IsPchSrvDeviceId", {id}) & 0xFF, group == kSrv ? 1u : 0u) << std::hex << id;
  }
}

// Each group's revision table, every revision id tried: the listed ones give their stepping,
// every other one 0x36.
TEST_F(IdentityTest, SteppingTablesAcrossEveryRevision) {
  const std::vector<std::pair<uint16_t, std::map<uint8_t, uint32_t>>> groups{
      {0xA145, {{0x00, 0x00}, {0x10, 0x01}, {0x20, 0x02}, {0x30, 0x03}, {0x31, 0x04}}},
      {0x9D48, {{0x10, 0x23}, {0x11, 0x24}, {0x20, 0x25}, {0x21, 0x26}}},
      {0xA1C3,
       {{0x00, 0x30}, {0x02, 0x31}, {0x03, 0x32}, {0x04, 0x33}, {0x08, 0x34}, {0x09, 0x35}}}};
  for (const auto& [device, table] : groups) {
    for (uint32_t revision = 0; revision <= 0xFF; ++revision) {
      const auto hit = table.find(static_cast<uint8_t>(revision));
      EXPECT_EQ(fresh_stepping(device, static_cast<uint8_t>(revision)),
                hit == table.end() ? 0x36u : hit->second)
          << std::hex << "device " << device << " revision " << revision;
    }
  }
}

TEST_F(IdentityTest, CachesHoldOnceFilledAndNotBefore) {
  pch(0xA145, 0x31);
  EXPECT_EQ(call("GetPchStepping"), 0x04u);
  set_lpc(0xA145, 0x00);
  EXPECT_EQ(call("GetPchStepping"), 0x04u) << "the stepping is cached";

  pch(0xA14C, 0x00);
  EXPECT_EQ(call("GetPchStepping"), 0x36u);
  set_lpc(0xA1C3, 0x04);
  EXPECT_EQ(call("GetPchStepping"), 0x33u) << "an unsupported answer is not cached";
  EXPECT_EQ(call("GetPchSeries"), 1u);
  set_lpc(0x9D48, 0x10);
  EXPECT_EQ(call("GetPchSeries"), 1u) << "the series is cached";
  clear_log();
  EXPECT_EQ(call("GetPchStepping"), 0x33u);
  EXPECT_TRUE(accesses().empty()) << "a server stepping is cached too";
}

class PcrTest : public BoardTest {};

TEST_F(PcrTest, ReadsThePortAndOffsetSlice) {
  board().chipset().set_pcr(0xE2, 0, 0x00001234);
  board().chipset().set_pcr(0xFF, 0xFFFC, 0xCAFEF00D);
  const uint32_t data = board().scratch(4);
  EXPECT_EQ(call("PchPcrRead", {0x13, 0x258, data}), 0u);
  EXPECT_EQ(mem().read32(data), scenario.pch.lane_owner[2]);
  EXPECT_EQ(call("PchPcrRead", {0xE2, 0, data}), 0u);
  EXPECT_EQ(mem().read32(data), 0x1234u);
  EXPECT_EQ(call("PchPcrRead", {0xFF, 0xFFFC, data}), 0u);
  EXPECT_EQ(mem().read32(data), 0xCAFEF00Du);
  const auto a = accesses();
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[0].address, 0xFD130258u);
  EXPECT_EQ(a[1].address, 0xFDE20000u);
  EXPECT_EQ(a[2].address, 0xFDFFFFFCu);
  EXPECT_EQ(a[2].width, 4u);
}

TEST_F(PcrTest, MisalignedOffsetIsRejectedWithoutAccess) {
  const uint32_t data = board().scratch(4);
  mem().write32(data, 0x5A5A5A5A);
  EXPECT_EQ(call("PchPcrRead", {0x13, 0x252, data}), kInvalidParameter);
  EXPECT_EQ(mem().read32(data), 0x5A5A5A5Au);
  EXPECT_TRUE(accesses().empty());
  EXPECT_EQ(prints(), std::vector<std::string>{"PchPcrRead error. Invalid Offset: 252 Size: 4"});
  EXPECT_EQ(asserts(), std::vector<std::string>{
                           "ServerSktPkg/SouthClusterSrv/Library/PeiDxeSmmPchPcrLib/PchPcrLib:57:"
                           "((BOOLEAN)(0==1))"});
}

class LaneTest : public BoardTest {
 protected:
  // Looks a port up; the lane, or -1 with the lane variable left as it was.
  int lane(const char* routine, uint32_t port) {
    const uint32_t out = board().scratch(4);
    mem().write8(out, 0xAB);
    const uint32_t status = call(routine, {port, out});
    if (status == 0) return mem().read8(out);
    EXPECT_EQ(status, kUnsupported) << routine << " " << port;
    EXPECT_EQ(mem().read8(out), 0xAB) << "lane written on failure";
    return -1;
  }
  int sata(uint32_t p) { return lane("GetPchSataPortLane", p); }
  int ssata(uint32_t p) { return lane("GetPchSecondarySataPortLane", p); }
  int pcie(uint32_t p) { return lane("GetPchPcieRpLane", p); }
  void owners(uint32_t r0, uint32_t r1, uint32_t r2, uint32_t r3) {
    scenario.pch.lane_owner = {r0, r1, r2, r3};
    make_board();
  }
};

TEST_F(LaneTest, HLayoutFirstAndLastIndexAndOwnership) {
  owners(0x10000000, 0x00000000, 0x22222200, 0x00000002);
  for (uint32_t p = 0; p < 6; ++p) EXPECT_EQ(sata(p), static_cast<int>(18 + p));
  EXPECT_EQ(sata(6), 24);
  EXPECT_TRUE(asserts().empty());
  EXPECT_EQ(pcie(0), 6);
  EXPECT_EQ(pcie(1), -1) << "lane 7 (register 0) has owner code 1";
  EXPECT_EQ(pcie(10), 16);
  EXPECT_EQ(pcie(11), 17);
  for (uint32_t p = 12; p < 18; ++p) EXPECT_EQ(pcie(p), -1);
  EXPECT_EQ(pcie(18), -1) << "lane 24 belongs to SATA";
  EXPECT_EQ(pcie(19), 25);
  EXPECT_TRUE(prints().empty()) << "PCIe ownership failures are silent";
  EXPECT_EQ(sata(7), -1);
  EXPECT_EQ(prints(), std::vector<std::string>{"Specyfied Lane Index is not owned by SATA!\n"});
  EXPECT_TRUE(asserts().empty());
}

TEST_F(LaneTest, OwnerCodeIsTheWholeNibble) {
  // Lanes 8 to 15: codes 8, 4, C, 1, A, 6, E, 2. Lanes 18 to 20: A, 6, 2.
  owners(0, 0x2E6A1C48, 0x00026A00, 0);
  for (uint32_t rp = 2; rp <= 5; ++rp) {
    EXPECT_EQ(pcie(rp), -1) << "lane " << rp + 6 << " is not PCIe's (code 0)";
  }
  EXPECT_EQ(pcie(10), 16);
  for (uint32_t p = 0; p <= 2; ++p) {
    EXPECT_EQ(ssata(p), -1) << "lane " << p + 12 << " is not SATA's (code 2)";
  }
  EXPECT_EQ(ssata(3), 15);
  EXPECT_EQ(sata(0), -1);
  EXPECT_EQ(sata(1), -1);
  EXPECT_EQ(sata(2), 20);
}

TEST_F(LaneTest, OwnerHelpersReadOneRegisterAndOneNibble) {
  // GetHsioLaneOwner: lane L is nibble L mod 8 of register L / 8, every lane of the four.
  const std::array<uint32_t, 4> registers{0x76543210, 0xFEDCBA98, 0x13579BDF, 0x02468ACE};
  const uint32_t table = board().scratch(16, 4);
  for (uint32_t k = 0; k < 4; ++k) mem().write32(table + 4 * k, registers[k]);
  for (uint32_t lane = 0; lane < 32; ++lane) {
    EXPECT_EQ(call("GetHsioLaneOwner", {table, lane}),
              registers[lane / 8] >> (4 * (lane % 8)) & 0xF)
        << "lane " << lane;
  }
  // ReadHsioLaneOwner: register k alone, into element k alone, by one 32-bit PCR read.
  owners(0x11111111, 0x22222222, 0x33333333, 0x44444444);
  for (uint32_t k = 0; k < 4; ++k) {
    clear_log();
    const uint32_t owners = board().scratch(24, 4);
    mem().write(owners, std::vector<uint8_t>(24, 0xEE));
    call("ReadHsioLaneOwner", {owners + 4, k});
    std::vector<uint8_t> expected(24, 0xEE);
    put32(expected, 4 + 4 * k, scenario.pch.lane_owner[k]);
    EXPECT_EQ(mem().read(owners, 24), expected) << "register " << k;
    const auto a = accesses();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].address, 0xFD130250u + 4 * k);
    EXPECT_EQ(a[0].width, 4u);
  }
}

TEST_F(LaneTest, IndexBeyondEachLayoutAsserts) {
  EXPECT_EQ(sata(8), -1);
  EXPECT_EQ(ssata(6), -1);
  EXPECT_EQ(pcie(20), -1);
  EXPECT_EQ(prints(), (std::vector<std::string>{"Unsupported SATA Lane Index",
                                                "Unsupported secondary SATA Lane Index",
                                                "Unsupported PCIE Root Port Lane Index\n"}));
  EXPECT_EQ(assert_lines(), (std::vector<uint32_t>{639, 709, 950}));
  EXPECT_EQ(asserts()[0], std::string(kHsioLib) + ":639:((BOOLEAN)(0==1))");
}

TEST_F(LaneTest, SecondarySataIgnoresTheSeriesAndFailsSilently) {
  owners(0, 0x22220000, 0x00000020, 0);
  for (uint32_t p = 0; p < 4; ++p) EXPECT_EQ(ssata(p), static_cast<int>(12 + p));
  EXPECT_EQ(ssata(4), -1);
  EXPECT_EQ(ssata(5), 17);
  EXPECT_TRUE(board().log().events.empty());
}

TEST_F(LaneTest, LpLayoutPrefersLane11ThenLane14) {
  scenario.pch.lpc_device_id = 0x9D48;
  scenario.pch.lpc_revision_id = 0x10;
  owners(0, 0x00002200, 0, 0);  // lanes 10 and 11 SATA
  EXPECT_EQ(sata(0), 10);
  EXPECT_EQ(sata(1), 11);
  owners(0, 0x02000200, 0, 0);  // lane 11 not SATA, lane 14 SATA
  EXPECT_EQ(sata(1), 14);
  EXPECT_EQ(ssata(2), 14);
  EXPECT_EQ(sata(2), -1);
  EXPECT_EQ(prints(), std::vector<std::string>{"Specyfied Lane Index is not owned by SATA!\n"});
  clear_log();
  EXPECT_EQ(sata(3), -1);
  EXPECT_EQ(pcie(11), 15);  // lane = root port + 4 on LP
  EXPECT_EQ(pcie(0), 4);
  EXPECT_EQ(pcie(12), -1);
  EXPECT_EQ(prints(), (std::vector<std::string>{"Unsupported SATA Lane Index",
                                                "Unsupported PCIE Root Port Lane Index"}));
  EXPECT_EQ(assert_lines(), (std::vector<uint32_t>{581, 819}));
  owners(0, 0x20000000, 0, 0);  // lane 15 SATA
  EXPECT_EQ(sata(2), 15);
}

TEST_F(LaneTest, UnknownSeriesTakesTheHLayout) {
  scenario.pch.lpc_device_id = 0xA14C;
  owners(0, 0, 0, 0x00000002);
  EXPECT_EQ(sata(6), 24);
  EXPECT_EQ(pcie(19), 25);
}

TEST_F(LaneTest, RegistersAreReadBeforeTheIndexIsExamined) {
  sata(8);
  const auto a = accesses();
  std::vector<uint32_t> pcr;
  for (const auto& t : a) {
    if (t.address >= hw::kPcrBase) pcr.push_back(t.address);
  }
  EXPECT_EQ(pcr, (std::vector<uint32_t>{0xFD130258, 0xFD130254, 0xFD13025C}));
}

class RootPortTest : public BoardTest {
 protected:
  std::pair<uint32_t, uint32_t> devfun(uint32_t rp, uint32_t expect_status = 0) {
    const uint32_t d = board().scratch(4), f = board().scratch(4);
    mem().write32(d, 0xEEEE);
    mem().write32(f, 0xEEEE);
    EXPECT_EQ(call("GetPchPcieRpDevFun", {rp, d, f}), expect_status) << rp;
    return {mem().read32(d), mem().read32(f)};
  }
};

TEST_F(RootPortTest, DeviceFromTheControllerFunctionFromItsRegister) {
  scenario.pch.rp_function_map = {0x00000000, 0x00003210, 0, 0, 0x0000F000};
  EXPECT_EQ(devfun(0), (std::pair<uint32_t, uint32_t>{28, 0}));
  EXPECT_EQ(devfun(5), (std::pair<uint32_t, uint32_t>{28, 1}));
  EXPECT_EQ(devfun(19), (std::pair<uint32_t, uint32_t>{27, 7})) << "nibble 0xF gives 7";
  EXPECT_EQ(devfun(8).first, 29u);
  EXPECT_EQ(devfun(12).first, 29u);
}

TEST_F(RootPortTest, EveryRootPortReadsItsOwnControllersNibble) {
  // Bit 3 of a nibble and the upper half of each register are not part of any function number.
  scenario.pch.rp_function_map = {0xFFFF4321, 0xFFFF0F6D, 0xFFFF3107, 0xFFFFA9C2, 0xFFFF5B36};
  const std::array<uint32_t, 20> function{1, 2, 3, 4, 5, 6, 7, 0, 7, 0,
                                          1, 3, 2, 4, 1, 2, 6, 3, 3, 5};
  for (uint32_t rp = 0; rp < 20; ++rp) {
    const uint32_t device = rp < 8 ? 28 : rp < 16 ? 29 : 27;
    EXPECT_EQ(devfun(rp), (std::pair<uint32_t, uint32_t>{device, function[rp]})) << "rp " << rp;
  }
}

TEST_F(RootPortTest, NumbersAtOrAboveTheCountAreRejected) {
  clear_log();
  EXPECT_EQ(devfun(20, kInvalidParameter), (std::pair<uint32_t, uint32_t>{0xEEEE, 0xEEEE}));
  EXPECT_EQ(prints(), std::vector<std::string>{"GetPchPcieRpDevFun invalid RpNumber 14"});
  EXPECT_EQ(assert_lines(), std::vector<uint32_t>{91});
  for (const auto& a : accesses()) EXPECT_LT(a.address, hw::kPcrBase) << "no controller read";

  scenario.pch.lpc_device_id = 0x9D48;
  scenario.pch.lpc_revision_id = 0x10;
  make_board();
  devfun(12, kInvalidParameter);
  devfun(11);
}

class PwrmTest : public BoardTest {};

TEST_F(PwrmTest, BaseDropsTheLowSixteenBits) {
  scenario.pmc.pwrm_base = 0xFE01ABCD;
  const uint32_t out = board().scratch(4);
  EXPECT_EQ(call("PchPwrmBaseGet", {out}), 0u);
  EXPECT_EQ(mem().read32(out), 0xFE010000u);
}

TEST_F(PwrmTest, NullPointerAndAbsentPmcAreReported) {
  EXPECT_EQ(call("PchPwrmBaseGet", {0}), kInvalidParameter);
  EXPECT_EQ(prints(), std::vector<std::string>{"PchPwrmBaseGet Error. Invalid pointer.\n"});
  EXPECT_EQ(assert_lines(), std::vector<uint32_t>{293});
  EXPECT_TRUE(accesses().empty());

  scenario.pmc.present = false;
  make_board();
  const uint32_t out = board().scratch(4);
  mem().write32(out, 0x1234);
  EXPECT_EQ(call("PchPwrmBaseGet", {out}), kUnsupported);
  EXPECT_EQ(mem().read32(out), 0x1234u);
  EXPECT_TRUE(prints().empty());
  EXPECT_EQ(assert_lines(), std::vector<uint32_t>{303});
}

}  // namespace
}  // namespace peiboard::testing
