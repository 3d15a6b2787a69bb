// Dispatch and the System Board PPI override: configuration addressing, the entry point's
// ACPI decode and notify registration, and the copy-patch-reinstall of the PPI.
#include "board_fixture.h"
#include "platform.h"

namespace peiboard::testing {
namespace {

constexpr uint32_t kPmcAcpiControl = 0x000FA044;
constexpr uint32_t kNotFound = 0x8000000E;
constexpr uint32_t kUnsupported = 0x80000003;

class ConfigAddressTest : public BoardTest {
 protected:
  uint32_t cfg(uint32_t bus, uint32_t device, uint32_t function) {
    return call("GetPciCfgBase", {bus, device, function});
  }
};

TEST_F(ConfigAddressTest, EmptyPlatformTableFallsBackToTheBuiltInOneWhateverToken6Says) {
  scenario.pcd.pcie_base = 0xE0000000;
  EXPECT_EQ(cfg(0, 31, 0), 0x800F8000u);
  EXPECT_EQ(cfg(0, 31, 2), 0x800FA000u);
  EXPECT_EQ(cfg(0, 22, 0), 0x800B0000u);
  EXPECT_EQ(cfg(0, 28, 0), 0x800E0000u);
  EXPECT_EQ(cfg(256, 32, 8), 0x80000000u) << "bus, device and function are masked";
  EXPECT_EQ(cfg(1, 0, 7), 0x80107000u);
}

TEST_F(ConfigAddressTest, PlatformTableEntryZeroGivesTheBase) {
  scenario.pcd.mcfg = {true, 144, {0xC0000000}};
  EXPECT_EQ(cfg(0, 31, 0), 0xC00F8000u);
}

TEST_F(ConfigAddressTest, ZeroBaseFallsBackToToken6ButAHighHalfIsNotZero) {
  scenario.pcd.pcie_base = 0x00000005A0000000ull;
  scenario.pcd.mcfg = {true, 144, {0}};
  EXPECT_EQ(cfg(0, 31, 0), 0xA00F8000u) << "low half of token 6";
  scenario.pcd.mcfg = {true, 144, {0x0000000100000000ull}};
  make_board();
  EXPECT_EQ(cfg(0, 31, 0), 0x000F8000u) << "high half 1 is a base; its low half 0 is used";
}

TEST_F(ConfigAddressTest, NoPlatformTableAtAllIsTreatedAsEmpty) {
  scenario.pcd.mcfg.present = false;  // token 7 gives a null pointer
  EXPECT_EQ(cfg(0, 31, 0), 0x800F8000u);
}

TEST_F(ConfigAddressTest, ByteReadAndAcpiBaseWriteUseToken6Alone) {
  scenario.pcd.pcie_base = 0xE0000000;  // the hardware still decodes at 0x80000000
  call("PciExpressRead8", {kPmcAcpiControl});
  EXPECT_EQ(accesses_at(0xE00FA044), 1u);
  EXPECT_EQ(board().log().bus_aborts, 1u) << "nothing decodes at the token-6 base";
  call("SetPmcAcpiBase");
  EXPECT_EQ(accesses_at(0xE00FA040), 1u);
  EXPECT_EQ(accesses().back().width, 2u);
  EXPECT_EQ(accesses().back().value, 0x0500u);
}

TEST_F(ConfigAddressTest, SetPmcAcpiBaseWritesExactlySixteenBits) {
  board().chipset().function(hw::kPmc)->set(0x40, 4, 0xAAAABBBB);
  call("SetPmcAcpiBase");
  EXPECT_EQ(board().chipset().function(hw::kPmc)->get(0x40, 4), 0xAAAA0500u);
}

TEST_F(ConfigAddressTest, ByteReadBeyondTheWindowAsserts) {
  call("PciExpressRead8", {0x0FFFFFFF});
  EXPECT_TRUE(asserts().empty()) << "the window's last byte";
  call("PciExpressRead8", {0x10000000});
  EXPECT_EQ(asserts(), std::vector<std::string>{
                           "BasePkg/Library/BasePciExpressLib/PciExpressLib:109:((Address) "
                           "& ~0xfffffff) == 0"});
}

class EntryTest : public BoardTest {
 protected:
  uint32_t entry() {
    return call("SystemBoardOverrideEntryPoint", {0, board().foundation().services_pointer()});
  }
  std::vector<TraceRecord> config_writes() {
    std::vector<TraceRecord> out;
    for (const auto& a : accesses()) {
      if (a.kind == TraceRecord::Kind::kWrite) out.push_back(a);
    }
    return out;
  }
};

TEST_F(EntryTest, DecodeAlreadyOnTouchesNothing) {
  scenario.pmc.acpi_control = 0x80;
  scenario.pmc.acpi_base = 0x1234;
  EXPECT_EQ(entry(), 0u);
  EXPECT_TRUE(config_writes().empty());
  EXPECT_EQ(board().chipset().function(hw::kPmc)->get(0x40, 2), 0x1234u);
  EXPECT_EQ(calls_to("NotifyPpi"), 1u);
  EXPECT_TRUE(board().foundation().notify_statuses().empty()) << "the entry never calls back";
}

TEST_F(EntryTest, DecodeOffProgramsTheBaseFirstThenSetsTheEnableKeepingLowBits) {
  for (uint8_t control : {uint8_t{0x00}, uint8_t{0x07}, uint8_t{0x7F}}) {
    scenario.pmc.acpi_control = control;
    make_board();
    EXPECT_EQ(entry(), 0u);
    const auto writes = config_writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].address, 0x800FA040u);
    EXPECT_EQ(writes[0].width, 2u);
    EXPECT_EQ(writes[0].value, 0x0500u);
    EXPECT_EQ(writes[1].address, 0x800FA044u);
    EXPECT_EQ(writes[1].width, 1u);
    EXPECT_EQ(writes[1].value, 0x80u | control);
    EXPECT_EQ(accesses_at(0x800FA044), 3u) << "read, read afresh, write";
  }
}

TEST_F(EntryTest, FailingNotifyIsReturnedAndTheAcpiProgrammingStays) {
  make_board({.faults = {.notify_status = kUnsupported}});
  EXPECT_EQ(entry(), kUnsupported);
  EXPECT_EQ(board().chipset().function(hw::kPmc)->get(0x44, 1), 0x80u);
  EXPECT_TRUE(board().log().events.empty()) << "no line and no assertion";
}

TEST_F(EntryTest, TheNotifyDescriptorIsAOneEntryCallbackListOnTheSystemBoardGuid) {
  const uint32_t d = board().symbol("SystemBoardPpiNotifyDescriptor");
  EXPECT_EQ(mem().read32(d), 0x80000020u);
  Guid g{};
  mem().read(mem().read32(d + 4), g);
  EXPECT_EQ(g, guids::kSystemBoard);
  EXPECT_EQ(mem().read32(d + 8), board().symbol("SystemBoardPpiNotifyCallback"));
}

class OverrideTest : public BoardTest {
 protected:
  // Dispatches the module and installs the stand-in System Board PPI.
  void dispatch_and_install() {
    call("SystemBoardOverrideEntryPoint", {0, board().foundation().services_pointer()});
    board().log().phase = Phase::kInstall;
    board().ppis().install_system_board();
  }
};

TEST_F(OverrideTest, CopyDiffersOnlyInSlot15AndTheOldPpiIsUntouched) {
  Board& b = board();
  const uint32_t old_descriptor = b.ppis().system_board_descriptor();
  const uint32_t old_interface = b.ppis().system_board_interface();
  const auto descriptor_before = mem().read(old_descriptor, 12);
  const auto interface_before = mem().read(old_interface, 88);
  dispatch_and_install();

  EXPECT_EQ(mem().read(old_descriptor, 12), descriptor_before);
  EXPECT_EQ(mem().read(old_interface, 88), interface_before);
  const auto located = b.foundation().locate(guids::kSystemBoard);
  ASSERT_TRUE(located);
  const auto [descriptor, interface] = *located;
  EXPECT_NE(descriptor, old_descriptor);
  EXPECT_EQ(mem().read32(descriptor), mem().read32(old_descriptor)) << "Flags";
  EXPECT_EQ(mem().read32(descriptor + 4), mem().read32(old_descriptor + 4)) << "Guid pointer";
  EXPECT_EQ(mem().read32(descriptor + 8), interface);
  auto copy = mem().read(interface, 88);
  EXPECT_EQ(mem().read32(interface + 60), b.symbol("ApplyBoardPtssTables"));
  for (size_t i = 60; i < 64; ++i) copy[i] = interface_before[i];
  EXPECT_EQ(copy, interface_before) << "only bytes 60 to 63 differ";

  // The reinstall notified the callback once more; that second call changed nothing.
  EXPECT_EQ(b.foundation().notify_statuses(), (std::vector<uint32_t>{0, 0}));
  EXPECT_EQ(calls_to("ReInstallPpi"), 1u);
  EXPECT_EQ(prints(), std::vector<std::string>{"Reinstall Descriptor Status = 0.\n"});
  EXPECT_EQ(print_levels(), std::vector<uint32_t>{kInfo});
}

TEST_F(OverrideTest, AlreadyPatchedInterfaceIsLeftAlone) {
  Board& b = board();
  mem().write32(b.ppis().system_board_interface() + 60, b.symbol("ApplyBoardPtssTables"));
  dispatch_and_install();
  EXPECT_EQ(b.foundation().notify_statuses(), std::vector<uint32_t>{0});
  EXPECT_EQ(calls_to("ReInstallPpi"), 0u);
  EXPECT_TRUE(prints().empty());
  EXPECT_EQ(b.foundation().locate(guids::kSystemBoard)->first, b.ppis().system_board_descriptor());
}

TEST_F(OverrideTest, FailingReinstallIsReportedAndReturned) {
  make_board({.faults = {.reinstall_status = kUnsupported}});
  dispatch_and_install();
  EXPECT_EQ(board().foundation().notify_statuses(), std::vector<uint32_t>{kUnsupported});
  EXPECT_EQ(prints(), (std::vector<std::string>{"\nASSERT_EFI_ERROR (Status = Unsupported)\n",
                                                "Reinstall Descriptor Status = -2147483645.\n"}));
  EXPECT_EQ(print_levels(), (std::vector<uint32_t>{kError, kInfo}));
  EXPECT_EQ(asserts(),
            std::vector<std::string>{"QuarnelProjectPkg/BoardMain/QuarnelPeiSystemBoardOverride/"
                                     "QuarnelPeiSystemBoardOverride:134:!EFI_ERROR (Status)"});
  EXPECT_EQ(board().foundation().locate(guids::kSystemBoard)->first,
            board().ppis().system_board_descriptor())
      << "the old descriptor stays installed";
}

TEST_F(OverrideTest, FailingLocateReturnsItsStatusWithoutCopying) {
  make_board({.faults = {.locate_status = kNotFound}});
  EXPECT_EQ(call("SystemBoardPpiNotifyCallback", {0, 0, 0}), kNotFound);
  EXPECT_EQ(calls_to("AllocatePool"), 0u);
  EXPECT_EQ(calls_to("ReInstallPpi"), 0u);
}

TEST_F(OverrideTest, FailingAllocationStopsBeforeTheReinstall) {
  for (uint32_t pool : {0u, 12u}) {  // the descriptor copy fails, then the interface copy
    make_board({.faults = {.pool_size = pool}});
    dispatch_and_install();
    ASSERT_EQ(board().foundation().notify_statuses().size(), 1u);
    EXPECT_EQ(board().foundation().notify_statuses()[0], 0x80000009u) << pool;
    EXPECT_EQ(calls_to("ReInstallPpi"), 0u);
    EXPECT_EQ(board().foundation().locate(guids::kSystemBoard)->first,
              board().ppis().system_board_descriptor());
  }
}

TEST_F(OverrideTest, BootCallsThePatchedSlot15) {
  const RunResult r = board().boot();
  EXPECT_EQ(r.entry_status, 0u);
  EXPECT_TRUE(r.slot15_called);
  EXPECT_FALSE(r.fault);
  EXPECT_TRUE(board().ppis().board_slots_called.empty()) << "slot 15 is the module's now";
  EXPECT_EQ(r.acpi_base, 0x0500);
  EXPECT_EQ(r.acpi_control, 0x80);
}

}  // namespace
}  // namespace peiboard::testing
