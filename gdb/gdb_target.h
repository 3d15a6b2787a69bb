// What the debugger acts on: the guest of one machine, seen as a single i386 thread. The target
// owns the stub's breakpoints and write watchpoints, reads and writes the guest's registers and
// RAM through the machine (never the host's own pages), and says why the guest stopped: the
// signal a debugger expects for a stop of the run, and its console text. It knows nothing of
// packets: the stub (gdb_stub.h) turns requests into these calls.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "gdb_protocol.h"
#include "machine.h"

namespace peiboard::gdb {

// The signal a debugger is shown for a stop of the run: memory faults SIGSEGV, undecodable
// bytes SIGILL, a divide error SIGFPE, anything else (hang, halt) SIGTRAP.
Signal signal_of(const StopInfo& stop);
// Why the run stopped, as the client's console shows it ("peiboard: fault: ...\n").
std::string describe(const StopInfo& stop);

class Target {
 public:
  // Bytes one watchpoint compares after each instruction, at most.
  static constexpr uint32_t kMaxWatch = 0x1000;

  // Whether a change the client asked for was made.
  enum class Change : uint8_t { kDone, kRefused };

  explicit Target(Machine& machine) : machine_(machine) {}

  // ---- Registers ----
  // The registers as the client is shown them.
  CpuState registers() const;
  // Writes the registers that differ to the machine. Refused when they cannot be changed here:
  // the run is over, or the stop is inside a host trap.
  Change set_registers(const CpuState& state);

  // ---- Memory ----
  // The bytes from `address`, up to `size`, that are RAM.
  uint32_t readable_prefix(uint32_t address, uint32_t size) const;
  std::vector<uint8_t> read_memory(uint32_t address, uint32_t length) const;
  // A debugger's write: refused outside RAM and on the host's own pages.
  Change write_memory(uint32_t address, std::span<const uint8_t> bytes);

  // ---- Breakpoints and watchpoints ----
  // Breakpoints are addresses checked before each instruction; no code changes.
  void insert_breakpoint(uint32_t address) { breakpoints_.insert(address); }
  void remove_breakpoint(uint32_t address) { breakpoints_.erase(address); }
  bool breakpoint_at(uint32_t address) const {
    return !breakpoints_.empty() && breakpoints_.contains(address);
  }
  // A write watchpoint compares its bytes after each instruction. Refused for an empty or too
  // long range or one that is not all RAM.
  Change insert_watch(uint32_t address, uint32_t length);
  void remove_watch(uint32_t address, uint32_t length);
  // The address of the first watchpoint whose bytes changed since the guest last resumed.
  std::optional<uint32_t> written_watch();
  // The guest resumes: what the client wrote while it stood is not the guest's write.
  void note_watched_bytes();
  // The client is gone: no breakpoint or watchpoint stops the guest any more.
  void clear_breakpoints();

  // ---- The run ----
  // The run is over: the registers are the guest's last and stay so.
  void end_run() { run_over_ = true; }
  bool run_over() const { return run_over_; }
  // A hung guest stands at `eip`, ahead of the engine's EIP.
  void show_eip(uint32_t eip) { shown_eip_ = eip; }
  // After the registers or running code were written at a stop the engine announces the
  // instruction at EIP again: gives that instruction's address once, and forgets it.
  std::optional<uint32_t> take_reannounced() { return std::exchange(reannounced_, {}); }
  bool reannounces() const { return reannounced_.has_value(); }
  void halt(const std::string& reason, uint32_t address) { machine_.halt(reason, address); }
  uint32_t engine_eip() const { return machine_.eip(); }

 private:
  struct Watch {
    uint32_t address, length;
    std::vector<uint8_t> seen;  // its bytes when the guest last resumed
  };

  Machine& machine_;
  std::set<uint32_t> breakpoints_;
  std::vector<Watch> watches_;
  std::vector<uint8_t> now_;  // the bytes compared, kept to spare an allocation per instruction
  bool run_over_ = false;
  std::optional<uint32_t> reannounced_;
  std::optional<uint32_t> shown_eip_;
};

}  // namespace peiboard::gdb
