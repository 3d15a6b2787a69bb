// The CPU of the emulated board: one 32-bit x86 engine, its memory map, traps into the
// host and calls into the guest. This is the only file pair that includes the engine.
//
// Whatever the guest does, a call ends in a StopInfo: a return, a fault, a hang or a halt.
// No exception ever crosses the engine: the hooks catch everything, a GuestFault becomes
// the stop of the run, and any other exception (a bug of the host side) is rethrown by the
// outermost call() once the engine has returned.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "memory_map.h"

struct uc_struct;
struct uc_context;

namespace peiboard {

// A device behind a range of guest addresses. Offsets are relative to the range's base;
// size is the access width in bytes (1, 2, 4 or 8).
class MmioDevice {
 public:
  virtual ~MmioDevice() = default;
  virtual uint64_t read(uint32_t offset, unsigned size) = 0;
  virtual void write(uint32_t offset, unsigned size, uint64_t value) = 0;
};

// What the guest may do with a range of memory. Memory the module must not write is
// mapped without kWrite; code runs only where kExecute is given.
enum Permission : uint8_t { kRead = 1, kWrite = 2, kExecute = 4 };

enum class StopKind : uint8_t {
  kReturned,  // the called routine returned to its return trap
  kFault,     // the guest did something the board cannot carry out
  kHang,      // the instruction budget ran out
  kHalted,    // the host asked to stop (an assertion with halt_on_assert)
};

// Every way a run can stop other than returning. The text form (fault_kind_text) is part of
// the JSON report and stays stable.
enum class FaultKind : uint8_t {
  kReadUnmapped,         // a load from an address nothing decodes as memory (page 0, guards)
  kWriteUnmapped,        // a store to such an address
  kWriteProtected,       // a store to memory the module must not write; the region says which
  kExecuteOutside,       // an instruction fetched outside the image and the trap page
  kExecuteNonCode,       // an instruction fetched from the image outside its code (headers, data)
  kInvalidInstruction,   // bytes the CPU does not decode
  kCpuException,         // a processor exception or software interrupt; `vector` says which
  kBadBuffer,            // a service or PPI was handed memory that is not there
  kNestedTooDeep,        // guest calls nested past the board's limit
  kBudgetExhausted,      // the instruction budget of the outermost call ran out
  kHalted,               // the host halted the run (detail says why)
  kUnusedTrap,           // a call into the trap page where no trap is
  kStoppedOutsideReturn  // the engine stopped without an error before the routine returned
};
const char* fault_kind_text(FaultKind kind);
std::ostream& operator<<(std::ostream& out, FaultKind kind);  // its text, for test messages

struct Fault {
  FaultKind kind = FaultKind::kHalted;
  uint32_t address = 0;  // the data address for memory faults, else the instruction address
  uint32_t eip = 0;      // where the guest was; for a trap, the trap address
  uint32_t blame = 0;    // the guest address whose routine is answerable: eip, or for a
                         // service the caller's return address, for a stray jump its source
  std::string region;    // the memory region the address lies in, when the board named it
  std::string detail;    // what else the kind needs ("vector 6", "assertion (halt_on_assert)")
  std::optional<uint32_t> vector;  // kCpuException: the vector the CPU raised
};

// The registers a debugger shows, in the order the GDB remote protocol lists them for i386.
struct CpuState {
  uint32_t eax = 0, ecx = 0, edx = 0, ebx = 0, esp = 0, ebp = 0, esi = 0, edi = 0;
  uint32_t eip = 0, eflags = 0, cs = 0, ss = 0, ds = 0, es = 0, fs = 0, gs = 0;
};

// One routine the guest is in, as the machine saw it called: by a CALL of the guest's, or by
// the host (Machine::call), whose frame returns to the return trap.
struct CallFrame {
  uint32_t entry = 0;           // the address called (a trap address for a service or PPI)
  uint32_t return_address = 0;  // where its RET goes
  bool operator==(const CallFrame&) const = default;
};

struct StopInfo {
  StopKind kind = StopKind::kReturned;
  Fault fault;  // meaningful unless kReturned
  // Unless kReturned: the guest's calls when it stopped, outermost first, and its registers.
  std::vector<CallFrame> call_stack;
  CpuState cpu;
};

// Thrown by a trap handler (directly or through the guest_* accessors) when the guest
// handed it something it cannot act on; the machine turns it into the stop of the run.
struct GuestFault {
  Fault fault;
};

// What a trap handler sees: the cdecl frame of the guest's call into the host.
class TrapFrame {
 public:
  virtual ~TrapFrame() = default;
  virtual uint32_t arg(unsigned index) const = 0;  // 32-bit argument slot, from 0
  virtual uint32_t return_address() const = 0;
  virtual uint32_t trap_address() const = 0;
  virtual void set_result(uint32_t eax) = 0;
  virtual void set_result64(uint64_t edx_eax) = 0;
};

using TrapHandler = std::function<void(TrapFrame&)>;

// How a basic block passes control on at its last instruction: the machine follows calls and
// returns to keep the guest's call stack.
enum class BlockExit : uint8_t { kOther, kCall, kReturn };
struct BlockCount {
  uint32_t instructions = 0;
  BlockExit exit = BlockExit::kOther;
};
// Counts the instructions of a basic block of guest code (its bytes at its address) and says
// how it ends.
using InstructionCounter = std::function<BlockCount(uint32_t address, std::span<const uint8_t>)>;

// Sees every executed basic block: coverage and edge feedback.
class BlockObserver {
 public:
  virtual ~BlockObserver() = default;
  virtual void on_block(uint32_t address, uint32_t size) = 0;
};

// A debugger's view of the guest: it is called before every instruction (precise machines
// only) and when a run is about to stop abnormally. It may read and change registers and
// memory through the machine, and may block while its client decides.
class DebugObserver {
 public:
  virtual ~DebugObserver() = default;
  virtual void before_instruction(uint32_t address) = 0;
  // A fault, hang or halt ends the run; the registers are as the guest left them.
  virtual void on_stop(const StopInfo& stop) = 0;
};

struct MachineOptions {
  // Keeps EIP exact at every instruction (faults report the faulting instruction, not its
  // block), at the cost of a host callback per guest instruction.
  bool precise = false;
};

class Machine {
 public:
  static constexpr uint32_t kTrapBase = ram::kTrapBase;
  static constexpr uint32_t kTrapPageSize = ram::kTrapPageSize;
  static constexpr uint32_t kTrapStride = 4;
  // Guest calls a trap handler may start, one inside the other, before it is a fault.
  static constexpr int kMaxDepth = 16;

  explicit Machine(InstructionCounter counter, MachineOptions options = {});
  // The engine in use, as it names itself at run time: "Unicorn 2.1.1".
  static std::string engine_version();
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // What reset() does to a RAM range: clear it, or leave it for its owner to restore.
  enum class OnReset : uint8_t { kClear, kKeep };

  // RAM the host owns, zero-filled; base and size page-aligned. `name` labels the range in
  // fault reports. A write into executable RAM drops the code translated from the bytes it
  // changes, so that translated code never goes stale.
  void map_ram(uint32_t base, uint32_t size, uint8_t permissions, std::string name,
               OnReset on_reset = OnReset::kClear);
  // Changes the permissions of whole pages of mapped RAM.
  void protect(uint32_t base, uint32_t size, uint8_t permissions);
  // Lets the guest write [base, base + size) inside memory mapped without kWrite (a
  // writable section that shares a page with constants).
  void allow_writes(uint32_t base, uint32_t size);
  // The module's image lies here: a fetch from its pages that do not execute is a
  // kExecuteNonCode fault (the region names the section), not a fetch outside the image.
  void set_image(uint32_t base, uint32_t size) { image_ = {base, size}; }
  // Names a range for fault reports (finer than the mapping: a section, a PPI, a table).
  // Labels go with reset() unless persistent.
  void label(uint32_t base, uint32_t size, std::string name, bool persistent = false);
  std::string region_label(uint32_t address) const;  // the innermost label, or ""
  // The device lives as long as the machine needs it: the caller keeps it alive.
  void map_device(uint32_t base, uint64_t size, MmioDevice& device);

  // Host access to guest memory, regardless of permissions. Access that no RAM backs is a
  // bug of the host side and throws std::runtime_error.
  void write(uint32_t address, std::span<const uint8_t> bytes);
  void read(uint32_t address, std::span<uint8_t> bytes) const;
  std::vector<uint8_t> read(uint32_t address, uint32_t size) const;
  uint8_t read8(uint32_t address) const;
  uint16_t read16(uint32_t address) const;
  uint32_t read32(uint32_t address) const;
  void write8(uint32_t address, uint8_t value);
  void write16(uint32_t address, uint16_t value);
  void write32(uint32_t address, uint32_t value);

  // Marks [base, base + size) as the host's own memory, which a debugger reads but never
  // writes (the trap page is from the start): what the host answers the guest's calls with.
  void reserve_for_host(uint32_t base, uint32_t size);
  // What a debugger's write did.
  enum class DebugWrite : uint8_t {
    kWritten,             // data, or code that is not running now
    kRunningCodeChanged,  // bytes of the block that is running: it restarts when EIP is set
    kRefused,             // not all of it RAM, or some of it the host's own: nothing written
  };
  // A debugger writes `bytes` at `address`: RAM only, never the host's own memory. Code
  // translated from the bytes it changes is dropped, so the CPU runs what was written.
  DebugWrite debugger_write(uint32_t address, std::span<const uint8_t> bytes);

  // Access on the guest's behalf (a service reading its arguments or writing its results):
  // the range must be memory the guest itself could read (or write), else GuestFault
  // (kBadBuffer for memory that is not there, kWriteProtected for read-only memory).
  void guest_read(uint32_t address, std::span<uint8_t> bytes) const;
  void guest_write(uint32_t address, std::span<const uint8_t> bytes);
  uint32_t guest_read32(uint32_t address) const;
  void guest_write32(uint32_t address, uint32_t value);
  // Checks [address, address + size) as above without touching it; size may be 0.
  void check_guest(uint32_t address, uint64_t size, Permission access) const;
  // A NUL-terminated 8-bit string of at most `limit` bytes; stops early at memory that is
  // not readable. `truncated` tells whether the limit cut it.
  std::string guest_cstring(uint32_t address, size_t limit, bool* truncated = nullptr) const;

  void set_idt(uint32_t base, uint16_t limit);
  // Where the stack of an outermost call starts; it grows down from there.
  void set_stack_top(uint32_t top) { stack_top_ = top; }
  uint32_t eip() const;
  uint32_t esp() const;

  // Reserves a trap address: a guest `call` to it runs the handler, then returns to the
  // caller with EAX (and EDX) as the handler set them.
  uint32_t add_trap(std::string name, TrapHandler handler);
  const std::string* trap_name(uint32_t address) const;
  // Where a routine the host calls returns to: the frame of such a call returns here.
  uint32_t return_trap() const { return return_trap_; }

  // Calls the guest routine at `address` with cdecl arguments and runs until it returns.
  // Calls nest: a trap handler may call into the guest again, up to kMaxDepth deep. The
  // budget is for the outermost call and covers the nested ones; it is enforced at block
  // boundaries.
  StopInfo call(uint32_t address, std::span<const uint32_t> args, uint64_t budget);
  uint32_t eax() const;
  uint32_t edx() const;

  // Asks the running guest to stop at once; the outermost call returns kHalted with the
  // reason, placed at `at` (the guest address the host wants the stop blamed on).
  void halt(std::string reason, uint32_t at);
  // Guest instructions executed; the host's trap page is not counted here, though its
  // instructions, as any the guest reaches, count against the budget.
  uint64_t instructions() const { return instructions_; }
  int depth() const { return depth_; }
  // The last block that started executing (0 before any): who jumped when a fetch faults.
  uint32_t last_block() const { return last_block_; }
  // The routines the guest is in now, outermost first: each call the host made and each CALL
  // the guest executed since, until its RET. Kept from the blocks the guest runs (no hook per
  // instruction, no register read): a block that ends in a CALL pushes a frame, one that ends
  // in a RET pops the innermost, or, returning to an outer frame's return address, the frames
  // inside that one. Code that leaves routines by jumps alone (longjmp) leaves their frames
  // until such a return or the end of the host's call. At most kMaxCallFrames; deeper calls
  // run on unrecorded.
  static constexpr size_t kMaxCallFrames = 1024;
  std::span<const CallFrame> call_stack() const { return {frames_.data(), frame_count_}; }

  void set_block_observer(BlockObserver* observer) { observer_ = observer; }
  // Switches exact EIP on or off between runs (the translated code is dropped).
  void set_precise(bool precise);
  bool precise() const { return options_.precise; }
  // Only a precise machine sees every instruction: on another this throws.
  void set_debug_observer(DebugObserver* observer);
  CpuState cpu() const;
  void set_cpu(const CpuState& state);

  // Back to the state of a machine just built with the same mappings: registers as the
  // engine starts them, RAM zero, no traps but the return trap, counters at zero. Devices
  // stay mapped; the translated code stays cached. Memory the host wrote into RAM since is
  // cleared; callers re-write what they placed.
  void reset();

 private:
  struct PageDeleter {
    uint32_t size;
    void operator()(uint8_t* memory) const;
  };
  struct Region {
    uint32_t base = 0, size = 0;
    std::string name;
    OnReset on_reset = OnReset::kClear;
    std::vector<uint8_t> page_permissions;
    std::unique_ptr<uint8_t[], PageDeleter> memory{nullptr, PageDeleter{0}};
    uint32_t dirty_end = 0;  // bytes from base the host may have written since reset
    bool executable(uint32_t offset, uint32_t length) const;
  };
  struct Trap {
    std::string name;
    TrapHandler handler;
  };
  struct Label {
    uint32_t base, size;
    std::string name;
    bool persistent;
  };
  struct EngineCloser {
    void operator()(uc_struct* uc) const;
  };
  struct ContextFree {
    void operator()(uc_context* context) const;
  };
  class Hook;
  class Frame;
  template <class R, class F>
  friend R guarded(Machine& m, R fallback, F&& body);

  void add_hooks();
  void add_precise_hook();
  // Where a fault is: EIP on a precise machine, else the block that was running.
  uint32_t fault_site() const;
  // Runs for every block the guest executes: inlined into the engine's callback.
  [[gnu::always_inline]] void on_block(uint32_t address, uint32_t size);
  void on_trap(uint32_t address);
  bool on_invalid(int type, uint32_t address, int size, int64_t value);
  void on_interrupt(uint32_t number);
  void stop(StopKind kind, Fault fault);
  void stop_with_host_error();
  // The steps of call():
  // Throws kNestedTooDeep, blamed on the instruction that made the call to `address`.
  [[noreturn]] void refuse_nested_call(uint32_t address) const;
  // Starts the outermost call's budget and forgets what earlier calls left.
  void begin_outermost_call(uint64_t budget);
  // Pushes the return trap and the cdecl arguments below `sp` and points ESP at them.
  void push_call_frame(uint32_t sp, std::span<const uint32_t> args);
  // Rethrows the host error that ended the run; the outermost call forgets it first.
  [[noreturn]] void rethrow_host_error(bool outermost);
  // The stop of the run that just ended: the pending one, else a fault when the guest stopped
  // anywhere but at the return trap (which then becomes the pending stop).
  StopInfo call_result();
  Region* region_at(uint32_t address);
  const Region* region_at(uint32_t address) const;
  // The region holding all of [address, address + size), or null.
  Region* region_for(uint32_t address, uint64_t size);
  const Region* region_for(uint32_t address, uint64_t size) const;
  bool writable_by_guest(uint32_t address, uint32_t size) const;
  const BlockCount& count_new_block(uint32_t address, uint32_t size);  // counts and caches a block
  // Follows the call or return that ended the previous block, now that `address` runs.
  [[gnu::always_inline]] void follow_exit(uint32_t address);
  bool on_top_of_stack(uint32_t value) const;  // the 32-bit word at ESP
  void return_elsewhere(uint32_t address);     // a RET past the innermost frame's return address
  // The stop, with the call stack and the registers as they are now.
  StopInfo stopped(StopKind kind, Fault fault) const;
  void forget_window_stores();
  void stop_at_budget(uint32_t address);
  // Makes the engine translate [address, address + size) again before it runs.
  void drop_translations(uint32_t address, uint32_t size);
  // drop_translations(), and the instruction counts of the blocks there.
  void forget_code(uint32_t address, uint32_t size);

  // The engine first, so that it is closed last; the hooks are deleted before it.
  std::unique_ptr<uc_struct, EngineCloser> uc_;
  std::vector<std::unique_ptr<Hook>> hooks_;
  std::unique_ptr<Hook> precise_hook_;
  std::unique_ptr<uc_context, ContextFree> initial_context_;  // registers as it started
  InstructionCounter counter_;
  MachineOptions options_;
  std::vector<Region> regions_;            // RAM the host owns, sorted by base
  mutable size_t last_region_ = SIZE_MAX;  // index of the region region_at() found last
  std::vector<std::pair<uint32_t, uint32_t>> writable_windows_;  // (base, size)
  std::pair<uint32_t, uint32_t> image_{0, 0};                    // (base, size)
  std::vector<Label> labels_;
  struct DeviceMapping {
    Machine* machine;
    MmioDevice* device;
  };
  std::vector<std::unique_ptr<DeviceMapping>> devices_;
  std::vector<Trap> traps_;
  // Instruction counts of the blocks seen so far: a direct-mapped cache in front of the
  // complete map, because the block hook runs for every block the guest executes.
  struct CachedCount {  // 12 bytes: the whole cache stays in a core's first-level cache
    uint32_t address = 0, count = 0;
    uint16_t size = 0;  // a block larger than this never hits
    BlockExit exit = BlockExit::kOther;
  };
  static constexpr size_t kCountCacheSize = 4096;
  static size_t count_slot(uint32_t address) {
    return (address ^ (address >> 12)) & (kCountCacheSize - 1);
  }
  std::array<CachedCount, kCountCacheSize> count_cache_{};
  std::unordered_map<uint64_t, BlockCount> block_counts_;  // (address << 32 | size) -> count
  uint32_t return_trap_ = 0;
  uint32_t stack_top_ = 0;
  uint64_t instructions_ = 0;
  uint64_t trap_instructions_ = 0;  // run on the trap page: against the budget, not reported
  uint64_t budget_end_ = 0;         // of instructions_ + trap_instructions_
  uint32_t last_block_ = 0;
  uint32_t running_block_ = 0, running_block_size_ = 0;  // trap page included
  BlockExit running_exit_ = BlockExit::kOther;           // how the running block ends
  std::array<CallFrame, kMaxCallFrames> frames_{};       // call_stack(): the first frame_count_
  size_t frame_count_ = 0;
  std::vector<std::pair<uint32_t, uint32_t>> host_ranges_;  // (base, size): no debugger writes
  int depth_ = 0;
  bool nested_since_trap_ = false;  // a trap handler called into the guest
  bool window_stored_ = false;      // a store into a writable window went through
  BlockObserver* observer_ = nullptr;
  DebugObserver* debugger_ = nullptr;
  bool stop_reported_ = false;  // the debugger has seen this run's stop
  void report_stop();
  std::optional<StopInfo> pending_stop_;
  std::optional<Fault> last_invalid_;
  std::exception_ptr host_error_;
};

}  // namespace peiboard
