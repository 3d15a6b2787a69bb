// The chipset's register blocks: each kind of register answers the guest as the hardware
// would, accesses of any width compose from the registers they cover, and what nobody
// modelled is said so.
#include "chipset.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace peiboard
