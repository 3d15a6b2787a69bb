// The chipset's register blocks: each kind of register answers the guest as the hardware
// would, accesses of any width compose from the registers they cover, and what nobody
// modelled is said so.
#include "chipset.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace peiboard {
namespace {

RegisterBlock block() {
  RegisterBlock b("test", 0x100, 0xFF);
  b.add({0x00, 2, RegisterKind::kConstant, "id", 0x5A5A, {}, {}});
  b.add({0x04, 4, RegisterKind::kReadWrite, "base", 0x11223344, {}, {}});
  b.add({0x08, 4, RegisterKind::kWriteOnce, "lockable", 0, {}, {}});
  b.add({0x0C, 4, RegisterKind::kWriteOnce, "locked", 0xCAFE0000, {}, {}});
  return b;
}

TEST(RegisterBlockTest, EachKindTakesOrRefusesWrites) {
  RegisterBlock b = block();
  EXPECT_TRUE(b.write(0x00, 2, 0x1234).blocked) << "identity is constant";
  EXPECT_EQ(b.read(0x00, 2).value, 0x5A5Au);

  EXPECT_FALSE(b.write(0x04, 2, 0xBEEF).blocked);
  EXPECT_EQ(b.read(0x04, 4).value, 0x1122BEEFu) << "a narrow write changes only its bytes";

  EXPECT_FALSE(b.write(0x08, 4, 0xFEED0000).blocked) << "the first write lands";
  EXPECT_TRUE(b.write(0x08, 4, 0x12345678).blocked) << "then the register is locked";
  EXPECT_EQ(b.read(0x08, 4).value, 0xFEED0000u);
  EXPECT_TRUE(b.write(0x0C, 4, 0).blocked) << "a value given at reset was programmed and locked";
}

TEST(RegisterBlockTest, AccessesComposeAcrossRegistersAndUnmodelledBytes) {
  RegisterBlock b = block();
  // 0x00-0x01 id, 0x02-0x03 nothing, 0x04-0x07 base.
  const auto wide = b.read(0x00, 8);
  EXPECT_EQ(wide.value, 0x11223344FFFF5A5Aull);
  EXPECT_FALSE(wide.modelled);
  EXPECT_EQ(wide.registers, "id, base");
  EXPECT_TRUE(b.read(0x04, 4).modelled);
  // Past the block's end reads as unmodelled.
  EXPECT_EQ(b.read(0xFE, 4).value, 0xFFFFFFFFu);
  // A write across a constant and a read-write register lands in the second only.
  const auto w = b.write(0x01, 4, 0xAABBCCDD);
  EXPECT_TRUE(w.blocked);
  EXPECT_EQ(b.read(0x00, 2).value, 0x5A5Au);
  EXPECT_EQ(b.read(0x04, 1).value, 0xAAu);
}

TEST(RegisterBlockTest, CustomRegistersAreAskedOncePerAccess) {
  RegisterBlock b("test", 0x10, 0x00);
  int reads = 0;
  uint64_t written = 0;
  b.add({0x00, 4, RegisterKind::kCustom, "status", 0,
         [&] { return 0x80000000u + static_cast<uint32_t>(++reads); },
         [&](uint64_t v) { written = v; }});
  EXPECT_EQ(b.read(0x00, 4).value, 0x80000001u);
  EXPECT_EQ(reads, 1) << "four bytes, one read of the register";
  b.write(0x02, 1, 0x7F);
  EXPECT_EQ(written, 0x007F0000u) << "the routine sees the register with the byte written";
}

TEST(RegisterBlockTest, DeclarationsMustFitAndNotOverlap) {
  RegisterBlock b = block();
  EXPECT_THROW(b.add({0x05, 1, RegisterKind::kConstant, "x", 0, {}, {}}), std::invalid_argument);
  EXPECT_THROW(b.add({0x03, 2, RegisterKind::kConstant, "x", 0, {}, {}}), std::invalid_argument);
  EXPECT_THROW(b.add({0xFE, 4, RegisterKind::kConstant, "x", 0, {}, {}}), std::invalid_argument);
  EXPECT_NO_THROW(b.add({0x02, 2, RegisterKind::kConstant, "gap", 0, {}, {}}));
  b.define({0x04, 4, RegisterKind::kReadWrite, "base", 7, {}, {}});
  EXPECT_EQ(b.read(0x04, 4).value, 7u) << "define gives the existing register its value";
}

class ChipsetTest : public ::testing::Test {
 protected:
  Scenario scenario;  // the default board's values
  RunLog log;
  uint32_t site = 0x1234;
  Chipset chipset{scenario, log, [this] { return site; }};
  uint32_t config(uint32_t bdf, uint32_t offset) { return scenario.pch.ecam_base + bdf + offset; }
};

TEST_F(ChipsetTest, IdentityIsReadOnlyAndUnmodelledConfigurationReadsZero) {
  const uint32_t id = config(hw::kLpc, 0x02);
  chipset.write(id, 2, 0x1111);
  EXPECT_EQ(chipset.read(id, 2), scenario.pch.lpc_device_id) << "the device id stays";
  EXPECT_EQ(log.blocked_writes, 1u);
  EXPECT_EQ(chipset.read(config(hw::kLpc, 0x10), 4), 0u) << "a reserved register reads 0";
  ASSERT_FALSE(log.trace.empty());
  EXPECT_NE(log.trace.back().what.find("(unmodelled)"), std::string::npos) << log.trace.back().what;
  EXPECT_EQ(log.trace.back().at, 0x1234u);
  // A function that is not there reads all ones.
  EXPECT_EQ(chipset.read(config(hw::bdf(0, 5, 0), 0), 4), 0xFFFFFFFFu);
}

TEST_F(ChipsetTest, ThePmcKeepsWhatFirmwareProgramsAndItsPwrmBaseDecodes) {
  chipset.write(config(hw::kPmc, 0x40), 2, 0x0500);
  chipset.write(config(hw::kPmc, 0x44), 1, 0x80);
  EXPECT_EQ(chipset.function(hw::kPmc)->get(0x40, 2), 0x0500u);
  EXPECT_EQ(chipset.function(hw::kPmc)->get(0x44, 1), 0x80u);
  EXPECT_EQ(log.blocked_writes, 0u);
  // The PWRM block at the scenario's base: its DWR register, else unmodelled all ones.
  const uint32_t pwrm = scenario.pmc.pwrm_base & 0xFFFF0000u;
  EXPECT_EQ(chipset.read(pwrm + hw::kDwrOffset, 4), 0u);
  EXPECT_EQ(chipset.read(pwrm + 0x100, 4), 0xFFFFFFFFu);
  EXPECT_EQ(log.bus_aborts, 0u);
  // Just past the block nothing decodes.
  EXPECT_EQ(chipset.read(pwrm + hw::kPwrmSize, 4), 0xFFFFFFFFu);
  EXPECT_EQ(log.bus_aborts, 1u);
  // The PWRM base was programmed and locked before the module ran.
  chipset.write(config(hw::kPmc, 0x48), 4, 0x12340000);
  EXPECT_EQ(log.blocked_writes, 1u);
  EXPECT_EQ(chipset.pwrm_base(), pwrm);
}

TEST_F(ChipsetTest, PcrIsReadOnlyAndUnmodelledPortsReadAllOnes) {
  const uint32_t owner = hw::kPcrBase | hw::kPortHsio << 16 | hw::kLaneOwnerOffset;
  EXPECT_EQ(chipset.read(owner, 4), scenario.pch.lane_owner[0]);
  chipset.write(owner, 4, 0);
  EXPECT_EQ(chipset.read(owner, 4), scenario.pch.lane_owner[0]);
  EXPECT_EQ(log.blocked_writes, 1u);
  EXPECT_EQ(chipset.read(hw::kPcrBase | 0x55 << 16, 4), 0xFFFFFFFFu);
}

// The PWRM block decodes where the PMC's base register says, from the guest's first write of
// the base on; a base given at reset was programmed and locked before the module ran.
TEST(ChipsetPwrmTest, TheBlockDecodesWhereTheGuestProgramsItsBase) {
  struct Write {
    uint32_t offset;  // in the PMC's configuration space
    unsigned width;
    uint32_t value;
  };
  struct Case {
    const char* what;
    uint32_t reset_base;
    std::vector<Write> writes;
    uint32_t decoded;  // 0: nowhere
  };
  const Case cases[] = {
      {"left 0 at reset: nowhere", 0, {}, 0},
      {"programmed by the guest", 0, {{Pmc::kPwrmBase, 4, 0xFE010000}}, 0xFE010000},
      {"the low bits are not the base's", 0, {{Pmc::kPwrmBase, 4, 0xFE03ABCD}}, 0xFE030000},
      {"a byte write programs its byte", 0, {{Pmc::kPwrmBase + 3, 1, 0xFE}}, 0xFE000000},
      {"another register does not move it", 0, {{Pmc::kAcpiBase, 4, 0xFE030000}}, 0},
      {"the first write locks it",
       0,
       {{Pmc::kPwrmBase, 4, 0xFE040000}, {Pmc::kPwrmBase, 4, 0xFE050000}},
       0xFE040000},
      {"programmed before the module ran",
       0xFE060000,
       {{Pmc::kPwrmBase, 4, 0xFE070000}},
       0xFE060000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Scenario s;
    s.pmc.pwrm_base = c.reset_base;
    s.pmc.dwr = true;
    RunLog log;
    Chipset chipset(s, log, [] { return 0u; });
    for (const Write& w : c.writes)
      chipset.write(s.pch.ecam_base + hw::kPmc + w.offset, w.width, w.value);
    EXPECT_EQ(chipset.pwrm_base(), c.decoded);
    const uint64_t aborts = log.bus_aborts;
    // Where the guest looks for the block: where it decodes, or where it would have.
    const uint32_t at = c.decoded != 0 ? c.decoded : 0xFE010000;
    EXPECT_EQ(chipset.read(at + hw::kDwrOffset, 4), c.decoded != 0 ? 0x8000u : 0xFFFFFFFFu);
    EXPECT_EQ(log.bus_aborts - aborts, c.decoded != 0 ? 0u : 1u);
  }
}

// Every register the devices declare, in the board DeclaredRegistersTest builds: where it
// lies, how wide it is, how it takes writes and its value at reset.
enum Space { kConfig, kPcr, kPwrm };
struct Row {
  const char* device;
  Space space;
  uint32_t unit;  // bdf() offset, or PCR port
  uint32_t offset;
  unsigned width;
  RegisterKind kind;
  uint64_t reset;
  const char* name;
};
std::vector<Row> declared_registers() {
  using K = RegisterKind;
  const uint32_t rp0 = hw::bdf(0, 28, 0);
  return {
      {"LPC", kConfig, hw::kLpc, 0x00, 2, K::kConstant, 0x5A5A, "vendor id"},
      {"LPC", kConfig, hw::kLpc, 0x02, 2, K::kConstant, 0xA1C7, "device id"},
      {"LPC", kConfig, hw::kLpc, 0x08, 1, K::kConstant, 0x31, "revision id"},
      {"PMC", kConfig, hw::kPmc, 0x00, 2, K::kConstant, 0x5A5A, "vendor id"},
      {"PMC", kConfig, hw::kPmc, 0x40, 4, K::kReadWrite, 0x1800, "ACPI base"},
      {"PMC", kConfig, hw::kPmc, 0x44, 1, K::kReadWrite, 0x82, "ACPI control"},
      {"PMC", kConfig, hw::kPmc, 0x48, 4, K::kWriteOnce, 0, "PWRM base"},
      {"PWRM", kPwrm, 0, 0x12C, 4, K::kConstant, 0x8000, "DWR"},
      {"HECI", kConfig, hw::kHeci, 0x00, 2, K::kConstant, 0x5A5A, "vendor id"},
      {"HECI", kConfig, hw::kHeci, 0x40, 4, K::kConstant, 0x000F0345, "MEFS1"},
      {"HECI", kConfig, hw::kHeci, 0x48, 4, K::kConstant, 0x80000126, "MEFS2"},
      {"RP", kConfig, rp0, 0x00, 2, K::kConstant, 0x5A5A, "vendor id"},
      {"RP", kConfig, rp0, 0xFC, 4, K::kConstant, 0x11000011, "StrapFuseCfg"},
      {"RP", kConfig, hw::bdf(0, 28, 4), 0xFC, 4, K::kConstant, 0x22000022, "StrapFuseCfg"},
      {"RP", kConfig, hw::bdf(0, 29, 0), 0xFC, 4, K::kConstant, 0x33000033, "StrapFuseCfg"},
      {"RP", kConfig, hw::bdf(0, 29, 4), 0xFC, 4, K::kConstant, 0x44000044, "StrapFuseCfg"},
      {"RP", kConfig, hw::bdf(0, 27, 0), 0xFC, 4, K::kConstant, 0x55000055, "StrapFuseCfg"},
      {"PCR", kPcr, 0xE0, 0x000, 4, K::kConstant, 0x00003210, "function map 0"},
      {"PCR", kPcr, 0xE1, 0x000, 4, K::kConstant, 0x00006754, "function map 1"},
      {"PCR", kPcr, 0xE2, 0x000, 4, K::kConstant, 0x00001230, "function map 2"},
      {"PCR", kPcr, 0xE3, 0x000, 4, K::kConstant, 0x00005674, "function map 3"},
      {"PCR", kPcr, 0xE4, 0x000, 4, K::kConstant, 0x00002310, "function map 4"},
      {"PCR", kPcr, 0x13, 0x250, 4, K::kConstant, 0x01010101, "lane owner 0"},
      {"PCR", kPcr, 0x13, 0x254, 4, K::kConstant, 0x02020202, "lane owner 1"},
      {"PCR", kPcr, 0x13, 0x258, 4, K::kConstant, 0x03030303, "lane owner 2"},
      {"PCR", kPcr, 0x13, 0x25C, 4, K::kConstant, 0x04040404, "lane owner 3"},
  };
}

// Every register a device declares, as the guest meets it at reset and when it writes it: the
// value, the width and offset (the bytes around it are another register's or nobody's), and
// whether a write lands, is dropped, or lands once and locks.
class DeclaredRegistersTest : public ::testing::Test {
 protected:
  static Scenario distinct() {
    Scenario s;
    // A value of its own in every register, so that none can stand for another.
    s.pch.lpc_device_id = 0xA1C7;
    s.pch.lpc_revision_id = 0x31;
    s.pch.lane_owner = {0x01010101, 0x02020202, 0x03030303, 0x04040404};
    s.pch.strap_fuse_cfg = {0x11000011, 0x22000022, 0x33000033, 0x44000044, 0x55000055};
    // Each controller's first port where the default board has it.
    s.pch.rp_function_map = {0x00003210, 0x00006754, 0x00001230, 0x00005674, 0x00002310};
    s.pmc.acpi_base = 0x1800;
    s.pmc.acpi_control = 0x82;
    s.pmc.pwrm_base = 0;
    s.pmc.dwr = true;
    s.heci.mefs1 = 0x000F0345;
    s.heci.mefs2 = 0x80000126;
    return s;
  }
  Scenario s = distinct();
  RunLog log;
  Chipset chipset{s, log, [] { return 0u; }};
};

TEST_F(DeclaredRegistersTest, EachHoldsItsResetValueAndAnswersWritesAsDeclared) {
  const std::vector<Row> rows = declared_registers();
  const uint32_t pwrm_at = 0xFE0A0000;  // the guest programs the base first, as firmware does
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.device) + " " + r.name + " at " + std::to_string(r.offset));
    const RegisterBlock* block = r.space == kConfig ? chipset.function(r.unit)
                                 : r.space == kPcr  ? chipset.pcr_port(static_cast<uint8_t>(r.unit))
                                                    : chipset.pwrm();
    ASSERT_NE(block, nullptr);
    // PCR registers are unnamed dwords: the values read through the bus below pin them.
    if (r.space == kPcr) continue;
    // Offset, width and name: its first and last byte are it, the bytes beside are not.
    EXPECT_EQ(block->read(r.offset, 1).registers, r.name);
    EXPECT_EQ(block->read(r.offset + r.width - 1, 1).registers, r.name);
    if (r.offset > 0) {
      EXPECT_NE(block->read(r.offset - 1, 1).registers, r.name);
    }
    EXPECT_NE(block->read(r.offset + r.width, 1).registers, r.name);
  }
  // Through the bus, as the guest sees them.
  chipset.write(s.pch.ecam_base + hw::kPmc + 0x48, 4, pwrm_at);
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.device) + " " + r.name + " at " + std::to_string(r.offset));
    const uint32_t at = r.space == kConfig ? s.pch.ecam_base + r.unit + r.offset
                        : r.space == kPcr  ? hw::kPcrBase + (r.unit << 16) + r.offset
                                           : pwrm_at + r.offset;
    const bool is_pwrm_base = r.unit == hw::kPmc && r.offset == 0x48;
    EXPECT_EQ(chipset.read(at, r.width), is_pwrm_base ? pwrm_at : r.reset);
    const uint64_t mask = r.width == 8 ? ~0ull : (1ull << (8 * r.width)) - 1;
    const uint64_t other = ~chipset.read(at, r.width) & mask;
    const uint64_t blocked = log.blocked_writes;
    chipset.write(at, r.width, other);
    const bool lands =
        r.kind == RegisterKind::kReadWrite;  // a write-once register was written above
    EXPECT_EQ(chipset.read(at, r.width), lands ? other : (is_pwrm_base ? pwrm_at : r.reset));
    EXPECT_EQ(log.blocked_writes - blocked, lands ? 0u : 1u);
  }
}

// The table above holds every register the devices declare, each instance of a repeated one.
TEST(DeclaredRegisterTableTest, HoldsEveryRegisterTheDevicesDeclare) {
  std::map<std::string, size_t> pinned;
  for (const auto& r : declared_registers()) ++pinned[r.device];
  size_t pcr = 0;
  for (const auto& spec : Pcr::registers()) pcr += spec.count;
  const std::map<std::string, size_t> declared = {
      {"LPC", Lpc::registers().size()},
      {"PMC", Pmc::config_registers().size()},
      {"PWRM", Pmc::pwrm_registers().size()},
      {"HECI", Heci::registers().size()},
      {"RP", RootPorts::port_registers().size() +
                 RootPorts::kControllers * RootPorts::first_port_registers().size()},
      {"PCR", pcr},
  };
  EXPECT_EQ(pinned, declared);
}

}  // namespace
}  // namespace peiboard
