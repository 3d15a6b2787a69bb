// One emulated board built from a scenario around the loaded module image: the machine,
// the chipset, the PEI foundation and the other modules' PPIs. It runs the boot flow, or
// any module routine by name, and keeps what the module printed, asserted and accessed.
//
// A board can be reset to a new scenario and booted again on the same engine: the result
// is the one a freshly built board gives, byte for byte.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "chipset.h"
#include "disassembler.h"
#include "expected.h"
#include "ffs.h"
#include "firmware_records.h"
#include "log.h"
#include "machine.h"
#include "memory_map.h"
#include "module.h"
#include "pe_image.h"
#include "pei_foundation.h"
#include "platform.h"
#include "scenario.h"
#include "scenario_loader.h"
#include "source_map.h"

namespace peiboard {

struct BoardOptions {
  FoundationFaults faults;
  // Instructions per top-level guest call: over a hundred times what the longest boot of
  // the module needs, and a few seconds at most however slow the guest's work.
  uint64_t budget = 5'000'000;
  bool scratch = false;  // map ram::kScratch for tests' buffers
  bool precise = false;  // exact EIP at every instruction (see MachineOptions)
  // The dependency expression of the module's file: the module is dispatched only when it
  // holds over the PPIs installed before dispatch. None (a PE32 or TE image alone): always.
  std::optional<std::vector<DepexOp>> depex;

  bool operator==(const BoardOptions&) const = default;
};

struct CallResult {
  StopInfo stop;
  uint32_t eax = 0;
  uint32_t edx = 0;
  bool returned() const { return stop.kind == StopKind::kReturned; }
  uint64_t value64() const { return static_cast<uint64_t>(edx) << 32 | eax; }
};

// One frame of the guest's call stack as reports show it.
struct StackFrame {
  uint32_t address = 0;  // the frame's instruction; in a caller, the return address of its call
  std::string routine;   // as Board::routine_at() names it
  uint32_t offset = 0;   // from the routine's first byte (0 when no routine is known)
  std::optional<std::string> file;  // the source line: for a caller, the call's
  uint32_t line = 0;
  // The routine whose code holds this one inlined, when the debug information says so.
  std::optional<std::string> inlined_in;
};

// How a boot ended when it did not end normally.
struct RunFault {
  StopKind stop = StopKind::kFault;
  FaultKind kind = FaultKind::kHalted;
  uint32_t address = 0;
  uint32_t eip = 0;
  std::string routine;  // the routine answerable for it
  std::string region;   // the named memory region of the address, if any
  std::string detail;
  std::vector<StackFrame> backtrace;  // innermost first, from the instruction at eip
  CpuState registers;                 // as the guest left them
  // "fault: write unmapped", "hang: instruction budget exhausted", "halt: assertion ...".
  std::string text() const;
};

// Why the dispatcher did not run the module.
struct NotDispatched {
  std::vector<DepexOp> expression;
  std::vector<Guid> missing;  // the PPIs it names that were not installed
};

struct RunResult {
  std::optional<NotDispatched> not_dispatched;  // set: nothing of the module ran
  std::optional<uint32_t> entry_status;
  std::vector<uint32_t> notify_statuses;
  bool slot15_called = false;
  std::optional<RunFault> fault;
  PolicyConfig policy_before;
  PolicyConfig policy;
  uint16_t acpi_base = 0;
  uint8_t acpi_control = 0;
  uint64_t instructions = 0;
};

// The machine's block counter: instructions by `decoder`, and whether the block ends in a
// call or a return.
InstructionCounter block_counter(std::shared_ptr<const Disassembler> decoder);

// One HsioPtssEntry as the module's tables hold it: 20 bytes, little-endian.
std::vector<uint8_t> ptss_entry_bytes(const PtssEntryConfig& entry);

// The image as the board can execute it: where it lies already when that is inside the flash
// window, else rebased through its relocations to ram::kDefaultImageBase (or, when it is too
// large for that, to the window's start). An image that must move and cannot (no relocation
// table, too large) is an error saying so.
Expected<void> place_in_flash(PeImage& image);

// Why a board could not be built or reset. `message` is the whole text; a scenario whose
// layout the memory map cannot hold also keeps its ScenarioError (file, line, key, message)
// for the output layer.
struct BoardError : Error {
  BoardError(Error error) : Error(std::move(error)) {}  // NOLINT: implicit by design
  BoardError(ScenarioError error)                       // NOLINT
      : Error{error.to_string()}, scenario(std::move(error)) {}
  std::optional<ScenarioError> scenario;
};

class Board {
 public:
  // Checks that the scenario and the module's image fit this board's memory map, then builds
  // it. The board shares the module: its names and source lines answer the reports.
  static Expected<std::unique_ptr<Board>, BoardError> create(const Scenario& scenario,
                                                             std::shared_ptr<const Module> module,
                                                             BoardOptions options = {});
  // The same for an image alone (a copy of it, without a debug file).
  static Expected<std::unique_ptr<Board>, BoardError> create(const Scenario& scenario,
                                                             const PeImage& image,
                                                             BoardOptions options = {});
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;
  ~Board();

  // Makes this board the one create() would build for `scenario`, keeping the engine and
  // its translated code. A scenario that does not fit the board's memory map is refused
  // and the board keeps the one it had; any later error leaves it without a scenario until
  // a reset succeeds: boot() then ends in a halt saying so.
  Expected<void, BoardError> reset(const Scenario& scenario);

  // The whole boot: dispatch the module when its dependency expression holds, install the
  // System Board PPI (after the entry point, or before it as the scenario says), call its
  // slot 15.
  // A machine that is not precise names the faulting block rather than the instruction.
  RunResult boot();
  // boot(), and when a fault ends it on a machine that is not precise, the same boot again
  // from a reset with exact EIP: the result a fresh precise board gives. Host changes made
  // to the board since its last reset are not part of the second boot.
  RunResult boot_exact();

  // Calls a module routine by its link-map name with cdecl arguments.
  CallResult call(std::string_view routine, std::vector<uint32_t> args = {});
  CallResult call_address(uint32_t address, std::vector<uint32_t> args);

  uint32_t symbol(std::string_view name) const;  // address of a routine or datum; throws
  std::string routine_at(uint32_t address) const;
  // "Routine+0x1C (Pkg/File.cpp:57)" with the debug file, else what routine_at() says.
  std::string where(uint32_t address) const;
  // "Pkg/File.cpp:57" for code at `address`, when the debug file knows it.
  std::optional<std::string> source_line(uint32_t address) const;
  // The code addresses of the guest's call stack, innermost first: `at`, then the return
  // address of each call that led there. A call the host made from inside a service or PPI
  // shows that service's trap address, then the call into it; the chain ends at the host's
  // outermost call.
  std::vector<uint32_t> stack_addresses(uint32_t at, std::span<const CallFrame> stack) const;
  // The frames of one code address, innermost first: its routine, or an inlined routine's
  // frames and the routine holding them. `caller`: the address is a return address, whose
  // source line is that of the call before it.
  std::vector<StackFrame> frames_at(uint32_t address, bool caller) const;
  // frames_at() of every address, the first as the innermost frame, the others as callers.
  std::vector<StackFrame> backtrace(std::span<const uint32_t> addresses) const;
  // The callers of the guest's instruction at `at` (innermost first, `at` left out), as
  // stack_addresses() finds them on the machine's call stack now.
  std::vector<uint32_t> callers_of(uint32_t at) const;
  // The instruction at `address` and up to `before` instructions ahead of it in its routine
  // (decoded from the routine's first byte, so they are the ones that really lead there).
  std::vector<Instruction> instructions_to(uint32_t address, size_t before) const;
  // The text of the instruction at `address` ("mov eax, dword ptr [ebp + 8]"), or "(bytes
  // that are no instruction)". Decoded once per address.
  std::string instruction_at(uint32_t address) const;

  // Guest memory a test hands to routines (options.scratch); never freed.
  uint32_t scratch(uint32_t size, uint32_t align = 8);
  uint32_t scratch_bytes(std::span<const uint8_t> bytes, uint32_t align = 8);
  uint32_t scratch_string(const std::string& text);

  Machine& machine() { return *machine_; }
  Chipset& chipset() { return *chipset_; }
  PeiFoundation& foundation() { return *foundation_; }
  PlatformPpis& ppis() { return *ppis_; }
  RunLog& log() { return log_; }
  const Scenario& scenario() const { return scenario_; }
  const PeImage& image() const { return module_->image(); }
  const Module& module() const { return *module_; }

  PolicyConfig read_policy() const;
  void write_policy(const PolicyConfig& policy);

 private:
  class Bus;
  struct Arenas;
  Board(const Scenario& scenario, std::shared_ptr<const Module> module, BoardOptions options);
  Expected<void> check_image() const;
  void map_memory();
  Expected<void> populate();
  Expected<void> write_ptss_tables();
  std::optional<RunFault> fault_of(const StopInfo& stop) const;
  // The steps of boot(): each true when the run ends there, its fault set in `result`.
  bool stopped(RunResult& result, const StopInfo& stop) const;
  bool install_system_board(RunResult& result);
  bool dispatch(RunResult& result);
  void call_slot15(RunResult& result);  // the last step
  void finish(RunResult& result, uint64_t instructions_before);

  Scenario scenario_;
  std::shared_ptr<const Module> module_;
  std::vector<uint8_t> image_layout_;  // the image as loaded, what resets restore from
  BoardOptions options_;
  std::shared_ptr<Disassembler> decoder_;
  mutable std::unordered_map<uint32_t, std::string> instruction_texts_;
  // The parts of the machine in dependency order: each refers only to those above it (the
  // engine to the bus's windows, the devices and the foundation to the engine and the log),
  // so that none outlives what it points at. The windows forward to chipset_ only while the
  // guest runs.
  RunLog log_;
  std::unique_ptr<Bus> bus_;
  std::unique_ptr<Machine> machine_;
  std::unique_ptr<Arenas> arenas_;
  std::unique_ptr<Chipset> chipset_;
  std::unique_ptr<PeiFoundation> foundation_;
  std::unique_ptr<PlatformPpis> ppis_;
  std::optional<StopInfo> abnormal_stop_;  // the first call that did not return normally
  // Why the last reset left the board without a scenario; boot() says so rather than run.
  std::optional<std::string> failed_reset_;
};

}  // namespace peiboard
