// What the board relies on from the CPU engine, pinned through the machine on small guest
// routines assembled here: how write-protect faults arrive, nested calls and their return,
// the restart after a register write, dropping translated code when the instrumentation
// changes, exact per-block counts and the budget, EIP at a fault in both modes, and a reset
// that leaves nothing of the previous boot. An engine release that changes one of them fails
// here first, by name, rather than somewhere in a boot of the module.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "disassembler.h"
#include "machine.h"

namespace peiboard::testing {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

// The few IA-32 instructions the routines below are made of.
namespace x86 {
Bytes store(uint32_t at, uint32_t value) { return Bytes{0xC7, 0x05} + le32(at) + le32(value); }
Bytes inc(uint32_t at) { return Bytes{0xFF, 0x05} + le32(at); }
Bytes load_eax(uint32_t at) { return Bytes{0xA1} + le32(at); }
Bytes store_eax(uint32_t at) { return Bytes{0xA3} + le32(at); }
Bytes mov_eax(uint32_t value) { return Bytes{0xB8} + le32(value); }
Bytes mov_ecx(uint32_t value) { return Bytes{0xB9} + le32(value); }
Bytes add_eax(uint8_t value) { return {0x83, 0xC0, value}; }
Bytes call_eax() { return {0xFF, 0xD0}; }
Bytes dec_ecx() { return {0x49}; }
Bytes jnz(int8_t displacement) { return {0x75, static_cast<uint8_t>(displacement)}; }
Bytes jmp(int8_t displacement) { return {0xEB, static_cast<uint8_t>(displacement)}; }
Bytes push_eax() { return {0x50}; }
Bytes stc() { return {0xF9}; }
Bytes nop() { return {0x90}; }
Bytes ret() { return {0xC3}; }
}  // namespace x86

// A routine placed in guest code: where it starts and where each instruction is.
struct Routine {
  uint32_t start = 0;
  std::vector<uint32_t> at;
};

class Observer final : public DebugObserver {
 public:
  std::function<void(uint32_t)> on_instruction;
  std::vector<uint32_t> seen;
  void before_instruction(uint32_t address) override {
    seen.push_back(address);
    if (on_instruction) on_instruction(address);
  }
  void on_stop(const StopInfo&) override {}
};

class Blocks final : public BlockObserver {
 public:
  std::vector<std::pair<uint32_t, uint32_t>> seen;  // (address, size)
  void on_block(uint32_t address, uint32_t size) override { seen.emplace_back(address, size); }
};

class EngineConformance : public ::testing::Test {
 protected:
  static constexpr uint32_t kCode = 0x00010000;
  static constexpr uint32_t kData = 0x00020000;
  static constexpr uint32_t kConstants = 0x00030000;
  static constexpr uint32_t kShared = 0x00040000;  // constants with a writable window
  static constexpr uint32_t kWindow = kShared + 0x800;
  static constexpr uint32_t kWindowSize = 0x10;
  static constexpr uint32_t kLate = 0x00050000;  // writable until a test protects it
  static constexpr uint32_t kStack = 0x000F0000;
  static constexpr uint32_t kStackTop = 0x00100000;
  static constexpr uint64_t kBudget = 100000;

  EngineConformance() { machine_ = make_machine(false); }

  // A machine with this fixture's memory map; page 0 stays unmapped.
  static std::unique_ptr<Machine> make_machine(bool precise) {
    auto decoder = Disassembler::create();
    if (!decoder) throw std::runtime_error(decoder.error().message);
    auto shared = std::make_shared<Disassembler>(std::move(decoder).value());
    auto m = std::make_unique<Machine>(
        [shared](uint32_t address, std::span<const uint8_t> bytes) -> BlockCount {
          auto count = shared->count_instructions(address, bytes);
          if (!count) throw std::runtime_error(count.error().message);
          return {*count};
        },
        MachineOptions{.precise = precise});
    m->map_ram(kCode, 0x1000, kRead | kExecute, "code");
    m->map_ram(kData, 0x1000, kRead | kWrite, "data");
    m->map_ram(kConstants, 0x1000, kRead, "constants");
    m->map_ram(kShared, 0x1000, kRead, "shared page");
    m->allow_writes(kWindow, kWindowSize);
    m->label(kWindow, kWindowSize, "data section", true);
    m->map_ram(kLate, 0x1000, kRead | kWrite, "late");
    m->map_ram(kStack, 0x10000, kRead | kWrite, "stack");
    m->set_stack_top(kStackTop);
    return m;
  }

  // Writes the instructions at the next free code address (16-byte aligned).
  Routine place(const std::vector<Bytes>& instructions) {
    return place_on(*machine_, instructions);
  }
  Routine place_on(Machine& m, const std::vector<Bytes>& instructions) {
    Routine r;
    r.start = next_;
    Bytes all;
    for (const Bytes& i : instructions) {
      r.at.push_back(next_ + static_cast<uint32_t>(all.size()));
      all = all + i;
    }
    m.write(next_, all);
    next_ = (next_ + static_cast<uint32_t>(all.size()) + 15) & ~15u;
    return r;
  }

  StopInfo run(const Routine& r, uint64_t budget = kBudget) {
    return machine_->call(r.start, {}, budget);
  }

  Machine& m() { return *machine_; }

  std::unique_ptr<Machine> machine_;
  uint32_t next_ = kCode;
};

// A store into memory mapped without write access stops the run at that store, names the
// address and the region, and changes nothing: on a page that never was writable, on code,
// and on a page protected after the guest had written to it (the engine must not keep a
// writable translation of it).
TEST_F(EngineConformance, WriteProtectFaultsOnPurePages) {
  m().map_ram(0x00060000, 0x1000, kRead | kWrite, "protected later");
  const Routine warm = place({x86::store(0x00060010, 1), x86::ret()});
  ASSERT_EQ(run(warm).kind, StopKind::kReturned);
  ASSERT_EQ(m().read32(0x00060010), 1u);
  m().protect(0x00060000, 0x1000, kRead);
  const struct {
    uint32_t at;
    const char* region;
  } cases[] = {{kConstants + 0x10, "constants"},
               {kCode + 0xF00, "code"},
               {0x00060010, "protected later"},
               {kShared + 0x10, "shared page"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.region);
    const uint32_t before = m().read32(c.at);
    const Routine r = place({x86::nop(), x86::store(c.at, 0x11223344), x86::ret()});
    const StopInfo stop = run(r);
    ASSERT_EQ(stop.kind, StopKind::kFault);
    EXPECT_EQ(stop.fault.kind, FaultKind::kWriteProtected);
    EXPECT_EQ(stop.fault.address, c.at);
    EXPECT_EQ(stop.fault.region, c.region);
    EXPECT_EQ(m().read32(c.at), before);
  }
}

// A page shared by constants and a writable section: stores inside the section's window land
// exactly once each (read-modify-write too), one byte outside it faults as on a pure page.
TEST_F(EngineConformance, WriteProtectOnASharedPageLetsTheWindowThrough) {
  const Routine loop = place({x86::mov_ecx(3), x86::inc(kWindow + 4), x86::dec_ecx(), x86::jnz(-9),
                              x86::store(kWindow, 0xA5A5A5A5), x86::ret()});
  ASSERT_EQ(x86::inc(0).size() + x86::dec_ecx().size() + x86::jnz(0).size(), 9u);
  ASSERT_EQ(run(loop).kind, StopKind::kReturned);
  EXPECT_EQ(m().read32(kWindow + 4), 3u);
  EXPECT_EQ(m().read32(kWindow), 0xA5A5A5A5u);
  // Each in the block after a store the window took (the engine then holds the page as
  // writable until the machine drops its translation, at the next block).
  for (const uint32_t at : {kWindow - 4, kWindow - 1, kWindow + kWindowSize - 3, kShared}) {
    SCOPED_TRACE(at);
    const StopInfo stop =
        run(place({x86::store(kWindow, 1), x86::jmp(0), x86::store(at, 0x11223344), x86::ret()}));
    ASSERT_EQ(stop.kind, StopKind::kFault);
    EXPECT_EQ(stop.fault.kind, FaultKind::kWriteProtected);
    EXPECT_EQ(stop.fault.address, at);
    EXPECT_EQ(m().read8(kWindow - 1), 0u);
    EXPECT_EQ(m().read32(kShared), 0u);
    EXPECT_EQ(m().read32(kWindow), 1u);
  }
}

// A trap handler that calls into the guest returns to the trap's caller once: the handler runs
// once, the caller's next instructions run once, the nested routine's result reaches the
// handler, and only guest instructions count (not the trap page's RETs). A trap without a
// nested call returns the same way.
TEST_F(EngineConformance, NestedCallsReturnToTheTrapsCaller) {
  const Routine nested = place({x86::inc(kData), x86::mov_eax(7), x86::ret()});
  int nesting = 0, plain = 0;
  const uint32_t nesting_trap = m().add_trap("nesting", [&](TrapFrame& frame) {
    ++nesting;
    EXPECT_EQ(m().call(nested.start, {}, kBudget).kind, StopKind::kReturned);
    EXPECT_EQ(m().depth(), 1);
    frame.set_result(m().eax() + 1);
  });
  const uint32_t plain_trap = m().add_trap("plain", [&](TrapFrame& frame) {
    ++plain;
    frame.set_result(0x55);
  });
  const Routine caller =
      place({x86::mov_eax(nesting_trap), x86::call_eax(), x86::store_eax(kData + 4),
             x86::inc(kData + 8), x86::mov_eax(plain_trap), x86::call_eax(),
             x86::store_eax(kData + 12), x86::inc(kData + 8), x86::ret()});
  ASSERT_EQ(run(caller).kind, StopKind::kReturned);
  EXPECT_EQ(nesting, 1);
  EXPECT_EQ(plain, 1);
  EXPECT_EQ(m().read32(kData), 1u) << "the nested routine ran once";
  EXPECT_EQ(m().read32(kData + 4), 8u);
  EXPECT_EQ(m().read32(kData + 8), 2u) << "the caller went on once after each trap";
  EXPECT_EQ(m().read32(kData + 12), 0x55u);
  EXPECT_EQ(m().instructions(), caller.at.size() + 3);
  EXPECT_EQ(m().depth(), 0);
}

// A debugger's register write before an instruction takes effect before it runs: the engine
// starts again at the (possibly new) EIP and announces that instruction again, and the
// instruction count shows the restarted block.
TEST_F(EngineConformance, ARegisterWriteRestartsAtTheWrittenEip) {
  machine_ = make_machine(true);
  const Routine r = place({x86::mov_eax(1), x86::add_eax(2), x86::add_eax(4), x86::ret()});
  const struct {
    const char* what;
    bool skip;  // also move EIP past the instruction
    uint32_t eax;
    std::vector<uint32_t> announced;
    uint64_t instructions;
  } cases[] = {
      {"eax", false, 0x106, {r.at[0], r.at[1], r.at[1], r.at[2], r.at[3]}, 4 + 3},
      {"eax and eip", true, 0x104, {r.at[0], r.at[1], r.at[2], r.at[3]}, 4 + 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Observer observer;
    bool written = false;
    observer.on_instruction = [&](uint32_t address) {
      if (address != r.at[1] || written) return;
      written = true;
      CpuState cpu = m().cpu();
      cpu.eax = 0x100;
      if (c.skip) cpu.eip = r.at[2];
      m().set_cpu(cpu);
    };
    m().set_debug_observer(&observer);
    const uint64_t before = m().instructions();
    ASSERT_EQ(run(r).kind, StopKind::kReturned);
    m().set_debug_observer(nullptr);
    EXPECT_EQ(m().eax(), c.eax);
    EXPECT_EQ(observer.seen, c.announced);
    EXPECT_EQ(m().instructions() - before, c.instructions);
  }
}

// Switching exact EIP on drops the code translated without the per-instruction callback, so a
// debugger sees every instruction of a routine that ran before; switching it off and on again
// does the same.
TEST_F(EngineConformance, SwitchingPreciseModeDropsTranslatedCode) {
  const Routine r = place({x86::mov_eax(1), x86::add_eax(2), x86::inc(kData), x86::ret()});
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(run(r).kind, StopKind::kReturned);  // translated without the callback
    m().set_precise(true);
    Observer observer;
    m().set_debug_observer(&observer);
    ASSERT_EQ(run(r).kind, StopKind::kReturned);
    EXPECT_EQ(observer.seen, r.at);
    m().set_debug_observer(nullptr);
    m().set_precise(false);
  }
}

// The instruction count is exact per block: a loop entered in the middle of its first block
// counts each block as it ran; the budget is enforced at block boundaries to the instruction,
// and a block that would pass it does not run.
TEST_F(EngineConformance, BlockCountsAreExactAndTheBudgetHoldsToTheInstruction) {
  const Routine loop =
      place({x86::mov_ecx(5), x86::dec_ecx(), x86::jnz(-3), x86::inc(kData), x86::ret()});
  Blocks blocks;
  m().set_block_observer(&blocks);
  ASSERT_EQ(run(loop).kind, StopKind::kReturned);
  m().set_block_observer(nullptr);
  const uint64_t cost = 3 + 4 * 2 + 2;
  EXPECT_EQ(m().instructions(), cost);
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {{loop.at[0], 8}, {loop.at[1], 3},
                                                               {loop.at[1], 3}, {loop.at[1], 3},
                                                               {loop.at[1], 3}, {loop.at[3], 7}};
  EXPECT_EQ(blocks.seen, expected);
  const struct {
    uint64_t budget;
    StopKind kind;
    uint64_t instructions;
    uint32_t data;
  } cases[] = {{cost, StopKind::kReturned, cost, 1},
               {cost - 1, StopKind::kHang, cost - 2, 0},
               {3, StopKind::kHang, 3, 0},
               {2, StopKind::kHang, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.budget);
    m().reset();
    next_ = kCode;
    const Routine again =
        place({x86::mov_ecx(5), x86::dec_ecx(), x86::jnz(-3), x86::inc(kData), x86::ret()});
    const StopInfo stop = run(again, c.budget);
    EXPECT_EQ(stop.kind, c.kind);
    EXPECT_EQ(m().instructions(), c.instructions);
    EXPECT_EQ(m().read32(kData), c.data);
    if (c.kind == StopKind::kHang) {
      EXPECT_EQ(stop.fault.kind, FaultKind::kBudgetExhausted);
    }
  }
}

// Where a fault is: on a precise machine the faulting instruction; on a fast one the block
// that faulted (the engine's EIP lags inside chained blocks), whatever ran before it.
TEST_F(EngineConformance, EipAtAFaultInBothModes) {
  for (const bool precise : {false, true}) {
    SCOPED_TRACE(precise ? "precise" : "fast");
    machine_ = make_machine(precise);
    next_ = kCode;
    const Routine load = place({x86::mov_ecx(3), x86::dec_ecx(), x86::jnz(-3), x86::nop(),
                                x86::nop(), x86::load_eax(0x10), x86::ret()});
    const Routine store = place({x86::mov_ecx(3), x86::dec_ecx(), x86::jnz(-3), x86::nop(),
                                 x86::inc(kData), x86::store(kConstants, 1), x86::ret()});
    const struct {
      const Routine& r;
      FaultKind kind;
      uint32_t address;
    } cases[] = {{load, FaultKind::kReadUnmapped, 0x10},
                 {store, FaultKind::kWriteProtected, kConstants}};
    // Again and again: once the engine has chained the blocks, the fast machine's EIP would
    // still point into the loop.
    for (int round = 0; round < 3; ++round) {
      for (const auto& c : cases) {
        SCOPED_TRACE(round);
        const StopInfo stop = run(c.r);
        ASSERT_EQ(stop.kind, StopKind::kFault);
        EXPECT_EQ(stop.fault.kind, c.kind);
        EXPECT_EQ(stop.fault.address, c.address);
        EXPECT_EQ(stop.fault.eip, precise ? c.r.at[5] : c.r.at[3]);
        EXPECT_EQ(m().last_block(), c.r.at[3]);
      }
    }
  }
}

// A processor exception stops the run with its vector as a number in the fault record (what a
// debugger's signal is chosen by) and as text in the detail the report prints.
TEST_F(EngineConformance, ACpuExceptionRecordsItsVector) {
  const struct {
    Bytes instruction;
    uint32_t vector;
  } cases[] = {{{0x31, 0xC9, 0xF7, 0xF1}, 0},  // xor ecx, ecx; div ecx: divide error
               {{0xCC}, 3},                    // int3
               {{0xCD, 0x21}, 0x21}};          // int 0x21
  for (const auto& c : cases) {
    SCOPED_TRACE(c.vector);
    const StopInfo stop = run(place({x86::nop(), c.instruction, x86::ret()}));
    ASSERT_EQ(stop.kind, StopKind::kFault);
    EXPECT_EQ(stop.fault.kind, FaultKind::kCpuException);
    EXPECT_EQ(stop.fault.vector, c.vector);
    EXPECT_EQ(stop.fault.detail, "vector " + std::to_string(c.vector));
  }
}

// reset() leaves nothing of the previous run: registers and flags as a new machine has them,
// RAM zero, the run's traps and labels gone, counters at zero, and code written at an address
// that ran before is the code that runs.
TEST_F(EngineConformance, AResetLeavesNothingOfThePreviousRun) {
  const std::unique_ptr<Machine> fresh = make_machine(false);
  const Routine dirty =
      place({x86::mov_eax(0x1234), x86::mov_ecx(0x5678), x86::push_eax(), x86::stc(),
             x86::store(kData + 0x40, 9), x86::inc(kLate), x86::store(kConstants, 1), x86::ret()});
  const uint32_t trap = m().add_trap("run's trap", [](TrapFrame&) {});
  m().label(kData, 16, "run's label");
  ASSERT_EQ(run(dirty).kind, StopKind::kFault);
  m().reset();
  const CpuState a = m().cpu(), b = fresh->cpu();
  EXPECT_EQ(std::vector<uint32_t>(&a.eax, &a.eax + sizeof a / 4),
            std::vector<uint32_t>(&b.eax, &b.eax + sizeof b / 4));
  for (const uint32_t base : {kCode, kData, kLate, kStack + 0xF000}) {
    const std::vector<uint8_t> page = m().read(base, 0x1000);
    EXPECT_TRUE(std::all_of(page.begin(), page.end(), [](uint8_t v) { return v == 0; })) << base;
  }
  EXPECT_EQ(m().instructions(), 0u);
  EXPECT_EQ(m().last_block(), 0u);
  EXPECT_EQ(m().trap_name(trap), nullptr);
  EXPECT_EQ(m().region_label(kData), "data");
  // Other bytes at the same address: they run, on this machine as on a new one.
  next_ = kCode;
  const std::vector<Bytes> other = {x86::mov_eax(5), x86::add_eax(1), x86::store_eax(kData),
                                    x86::ret()};
  const Routine again = place(other);
  next_ = kCode;
  place_on(*fresh, other);
  const StopInfo stop = run(again);
  ASSERT_EQ(stop.kind, StopKind::kReturned)
      << stop.fault.kind << " at " << stop.fault.address << " eip " << stop.fault.eip;
  ASSERT_EQ(fresh->call(again.start, {}, kBudget).kind, StopKind::kReturned);
  EXPECT_EQ(m().read32(kData), 6u);
  EXPECT_EQ(m().instructions(), fresh->instructions());
  const CpuState c = m().cpu(), d = fresh->cpu();
  EXPECT_EQ(std::vector<uint32_t>(&c.eax, &c.eax + sizeof c / 4),
            std::vector<uint32_t>(&d.eax, &d.eax + sizeof d / 4));
}

}  // namespace
}  // namespace peiboard::testing
