// The emulated board itself: the format renderer, faults, hangs and bus aborts as the
// machine reports them, and the image check.
#include "board_fixture.h"
#include "format.h"
#include "report.h"

namespace peiboard::testing {
namespace {

std::string render(std::string_view format, std::vector<uint32_t> values,
                   std::vector<std::string> strings = {}) {
  size_t next = 0;
  FormatArgs args{[&] { return next < values.size() ? values[next++] : 0u; },
                  [&](uint32_t i) { return i < strings.size() ? strings[i] : std::string(); }};
  return render_format(format, args);
}

TEST(FormatTest, ConversionsTheModuleUses) {
  EXPECT_EQ(render("%d %d %u", {static_cast<uint32_t>(-1), 42, 0xFFFFFFFF}), "-1 42 4294967295");
  EXPECT_EQ(render("%x %X 0x%08X %04x", {0xab, 0xab, 0x1F, 0xA14C}), "ab AB 0x0000001F a14c");
  EXPECT_EQ(render("%a and %s", {0, 1}, {"PchSrvA0", "x"}), "PchSrvA0 and x");
  EXPECT_EQ(render("%c%%%d", {'A', 7}), "A%7");
  EXPECT_EQ(render("%lx", {0x89ABCDEF, 0x1}), "189abcdef");
  EXPECT_EQ(render("[%5d|%-4d]", {12, 3}), "[   12|3   ]");
}

TEST(FormatTest, StatusNamesAsTheUefiListGivesThem) {
  EXPECT_EQ(render("%r", {0}), "Success");
  EXPECT_EQ(render("%r", {0x80000002}), "Invalid Parameter");
  EXPECT_EQ(render("%r", {0x80000003}), "Unsupported");
  EXPECT_EQ(render("%r", {0x80000006}), "Not Ready");
  EXPECT_EQ(render("%r", {0x80000007}), "Device Error");
  EXPECT_EQ(render("%r", {0x80000009}), "Out of Resources");
  EXPECT_EQ(render("%r", {0x8000000E}), "Not Found");
  EXPECT_EQ(render("%r", {0x80000063}), "0x80000063");
  EXPECT_EQ(render("%r", {0x00000063}), "0x00000063");
}

class MachineTest : public BoardTest {};

TEST_F(MachineTest, UndecodedAddressIsABusAbortNotAFault) {
  EXPECT_EQ(call("MmioRead32", {0x50000000}), 0xFFFFFFFFu);
  EXPECT_EQ(board().log().bus_aborts, 1u);
  ASSERT_EQ(accesses().size(), 1u);
  EXPECT_EQ(accesses()[0].what, "bus abort");
  EXPECT_EQ(accesses()[0].routine, "MmioRead32");
  call("MmioWrite16", {0x50000010, 0x55AA});
  EXPECT_EQ(board().log().bus_aborts, 2u);
}

TEST_F(MachineTest, NullPointerFaultNamesTheRoutine) {
  const CallResult r = board().call("CopyMem", {0x10, ram::kScratch, 8});
  EXPECT_EQ(r.stop.kind, StopKind::kFault);
  EXPECT_EQ(r.stop.fault.kind, FaultKind::kWriteUnmapped);
  EXPECT_EQ(r.stop.fault.address, 0x10u);
  EXPECT_EQ(board().routine_at(r.stop.fault.eip).substr(0, 7), "CopyMem");
}

TEST_F(MachineTest, RunningPastTheBudgetIsAHang) {
  make_board({.budget = 50});
  const uint32_t big = board().scratch(4096);
  const CallResult r = board().call("ZeroMem", {big, 4096});
  EXPECT_EQ(r.stop.kind, StopKind::kHang);
  // The board is usable again afterwards: the next call has a fresh budget.
  EXPECT_EQ(board().call("ZeroMem", {big, 8}).stop.kind, StopKind::kReturned);
}

TEST_F(MachineTest, CallsAfterAFaultStartClean) {
  EXPECT_EQ(board().call("CopyMem", {0x10, ram::kScratch, 8}).stop.kind, StopKind::kFault);
  EXPECT_EQ(call("GetPciCfgBase", {0, 31, 0}), 0x800F8000u);
}

TEST_F(MachineTest, ApplyBoardPtssTablesHasTheSlotContract) {
  // Two pointer arguments, no result, cdecl: a call returns with the stack intact.
  const CallResult r = board().call("ApplyBoardPtssTables", {ram::kSetup, ram::kPolicy});
  EXPECT_TRUE(r.returned());
}

// A reset that fails after the old scenario is gone leaves the board without one: a boot then
// ends in a halt that says so, without running anything, and the next reset that succeeds
// makes it the board create() builds.
TEST(ResetTest, ABootAfterAFailedResetHaltsUntilAResetSucceeds) {
  // Without its link map the image has no PTSS table names, which a scenario replacing the
  // tables needs: only populating the board finds that out.
  auto unnamed = PeImage::load(PEIBOARD_IMAGE);
  ASSERT_TRUE(unnamed);
  Scenario replaces_tables = default_scenario();
  replaces_tables.ptss.entries.emplace();
  auto board = Board::create(default_scenario(), *unnamed);
  ASSERT_TRUE(board);
  ASSERT_FALSE((*board)->reset(replaces_tables));

  const RunResult halted = (*board)->boot();
  ASSERT_TRUE(halted.fault);
  EXPECT_EQ(halted.fault->text(),
            "halt: no scenario: the board's last reset failed (the scenario replaces the PTSS "
            "tables, and the image's names (from a link map or debug file) hold no PtssTableA)");
  EXPECT_FALSE(halted.entry_status) << "the module did not run";
  EXPECT_EQ(halted.instructions, 0u);
  EXPECT_EQ((*board)->boot_exact().fault->text(), halted.fault->text());

  ASSERT_TRUE((*board)->reset(default_scenario()));
  auto fresh = Board::create(default_scenario(), *unnamed);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(run_json(**board, (*board)->boot(), true).dump(),
            run_json(**fresh, (*fresh)->boot(), true).dump());
}

TEST(TrapPageTest, CodeOnTheTrapPageCountsAgainstTheBudget) {
  // A byte counts as an instruction here: the count only has to grow with the code that runs.
  Machine m([](uint32_t, std::span<const uint8_t> bytes) {
    return BlockCount{static_cast<uint32_t>(bytes.size())};
  });
  constexpr uint32_t kCode = 0x10000, kStack = 0x20000;
  m.map_ram(kCode, 0x1000, kRead | kExecute, "code");
  m.map_ram(kStack, 0x1000, kRead | kWrite, "stack");
  m.set_stack_top(kStack + 0x1000);
  const uint32_t loop = m.add_trap("loop", [](TrapFrame&) {});
  m.add_trap("loop again", [](TrapFrame&) {});
  // What a client that could write the trap page would leave there: 65,535 turns of
  // `sub cx, 1; jnz` (then a fall into the middle of a trap slot, a fault).
  m.write(loop, std::vector<uint8_t>{0x66, 0x83, 0xE9, 0x01, 0x75, 0xFA});
  // mov ecx, 0xFFFF; mov eax, loop; call eax; ret
  std::vector<uint8_t> code{0xB9, 0xFF, 0xFF, 0x00, 0x00, 0xB8};
  for (int i = 0; i < 4; ++i) code.push_back(static_cast<uint8_t>(loop >> (8 * i)));
  code.insert(code.end(), {0xFF, 0xD0, 0xC3});
  m.write(kCode, code);
  const StopInfo stop = m.call(kCode, {}, 10'000);
  EXPECT_EQ(stop.kind, StopKind::kHang) << stop.fault.kind;
  EXPECT_EQ(stop.fault.address, loop);
  // Reports still count the guest's own code only.
  EXPECT_EQ(m.instructions(), 12u);
}

// The call stack the machine keeps, as a trap sees it: calls nest, a RET to another address
// than the recorded one drops what no longer runs, and a call the host makes from inside a
// trap stacks on the trap's frame and leaves nothing behind.
TEST(CallStackTest, FollowsCallsReturnsAndHostCalls) {
  constexpr uint32_t kCode = 0x10000, kStack = 0x20000;
  constexpr uint32_t kCapture = Machine::kTrapBase + Machine::kTrapStride;  // traps 1 and 2
  constexpr uint32_t kNest = kCapture + Machine::kTrapStride;
  const auto imm = [](uint32_t v) {
    return std::vector<uint8_t>{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                                static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
  };
  const auto call_trap = [&](uint32_t trap) {  // mov eax, trap; call eax
    std::vector<uint8_t> code{0xB8};
    for (uint8_t b : imm(trap)) code.push_back(b);
    code.insert(code.end(), {0xFF, 0xD0});
    return code;
  };
  using Pieces = std::vector<std::pair<uint32_t, std::vector<uint8_t>>>;  // (offset, bytes)
  using Frames = std::vector<std::pair<uint32_t, uint32_t>>;              // (entry, return)
  const uint32_t host = Machine::kTrapBase;                               // the return trap
  std::vector<uint8_t> overwrite{0xC7, 0x04, 0x24};  // mov dword ptr [esp], kCode + 8
  for (uint8_t b : imm(kCode + 8)) overwrite.push_back(b);
  overwrite.push_back(0xC3);  // ret
  const struct {
    const char* name;
    Pieces code;
    std::vector<Frames> captured;
  } cases[] = {
      {"calls nest",
       {{0x00, {0xE8, 0x0B, 0, 0, 0, 0xC3}},  // call 0x10; ret
        {0x10, {0xE8, 0x0B, 0, 0, 0, 0xC3}},  // call 0x20; ret
        {0x20, call_trap(kCapture)},
        {0x27, {0xC3}}},
       {{{kCode, host},
         {kCode + 0x10, kCode + 5},
         {kCode + 0x20, kCode + 0x15},
         {kCapture, kCode + 0x27}}}},
      {"a return elsewhere ends the frame",
       {{0x00, {0xE8, 0x0B, 0, 0, 0}},  // call 0x10
        {0x08, call_trap(kCapture)},
        {0x0F, {0xC3}},
        {0x10, overwrite}},  // returns to 0x08
       {{{kCode, host}, {kCapture, kCode + 0x0F}}}},
      {"a return past the caller ends both frames",
       {{0x00, {0xE8, 0x0B, 0, 0, 0}},  // call 0x10
        {0x05, call_trap(kCapture)},
        {0x0C, {0xC3}},
        {0x10, {0xE8, 0x0B, 0, 0, 0, 0xC3}},  // call 0x20; ret
        {0x20, {0x83, 0xC4, 0x04, 0xC3}}},    // add esp, 4; ret (to 0x05)
       {{{kCode, host}, {kCapture, kCode + 0x0C}}}},
      {"a call from the host inside a trap",
       {{0x00, call_trap(kNest)},
        {0x07, call_trap(kCapture)},
        {0x0E, {0xC3}},
        {0x30, call_trap(kCapture)},
        {0x37, {0xC3}}},
       {{{kCode, host}, {kNest, kCode + 7}, {kCode + 0x30, host}, {kCapture, kCode + 0x37}},
        {{kCode, host}, {kCapture, kCode + 0x0E}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoder = Disassembler::create();
    ASSERT_TRUE(decoder);
    Machine m(block_counter(std::make_shared<Disassembler>(std::move(decoder).value())));
    m.map_ram(kCode, 0x1000, kRead | kExecute, "code");
    m.map_ram(kStack, 0x1000, kRead | kWrite, "stack");
    m.set_stack_top(kStack + 0x1000);
    std::vector<Frames> captured;
    ASSERT_EQ(m.add_trap("capture",
                         [&](TrapFrame&) {
                           Frames frames;
                           for (const CallFrame& f : m.call_stack())
                             frames.emplace_back(f.entry, f.return_address);
                           captured.push_back(frames);
                         }),
              kCapture);
    ASSERT_EQ(m.add_trap("nest", [&](TrapFrame&) { m.call(kCode + 0x30, {}, 1000); }), kNest);
    for (const auto& [offset, bytes] : c.code) m.write(kCode + offset, bytes);
    const StopInfo stop = m.call(kCode, {}, 1000);
    EXPECT_EQ(stop.kind, StopKind::kReturned) << stop.fault.kind;
    EXPECT_EQ(captured, c.captured);
    EXPECT_TRUE(m.call_stack().empty());
  }
}

TEST(ImageTest, TheBuiltImageIsAnIa32EfiBootServiceDriverWithoutImports) {
  const PeImage& image = module_image();
  EXPECT_TRUE(image.check().empty());
  EXPECT_EQ(image.machine(), PeImage::kMachineI386);
  EXPECT_EQ(image.subsystem(), PeImage::kSubsystemEfiBootServiceDriver);
  EXPECT_EQ(image.import_directory_size(), 0u);
  EXPECT_EQ(image.symbol_at(image.entry_point()), "SystemBoardOverrideEntryPoint");
}

TEST(ImageTest, CheckRejectsAnImageOfAnotherKind) {
  auto bytes = module_image().file_bytes();
  const uint32_t pe = bytes[0x3C] | bytes[0x3D] << 8;
  bytes[pe + 4] = 0x64;  // machine x64
  bytes[pe + 5] = 0x86;
  bytes[pe + 24 + 68] = 10;  // subsystem EFI application
  auto image = PeImage::parse(bytes, "");
  ASSERT_TRUE(image);
  const auto problems = image->check();
  EXPECT_NE(std::find(problems.begin(), problems.end(), "machine is not i386"), problems.end());
  EXPECT_NE(std::find(problems.begin(), problems.end(), "subsystem is not EFI boot service driver"),
            problems.end());
  EXPECT_FALSE(PeImage::parse({'M', 'Z'}, ""));
}

}  // namespace
}  // namespace peiboard::testing
