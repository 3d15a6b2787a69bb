#include "machine.h"

#include <sys/mman.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <utility>

#include "format.h"

namespace peiboard {
namespace {

constexpr uint32_t kPageSize = 0x1000;
constexpr uint8_t kRet = 0xC3;

static_assert(int{kRead} == int{UC_PROT_READ} && int{kWrite} == int{UC_PROT_WRITE} &&
                  int{kExecute} == int{UC_PROT_EXEC},
              "our permissions are the engine's protection bits");

// Every engine call goes through here: an engine error on the host side is a bug of the
// board model, not something the guest did, so it ends the run loudly.
void check_engine(uc_err error, const char* what) {
  if (error != UC_ERR_OK) {
    throw std::runtime_error(std::string("engine: ") + what + ": " + uc_strerror(error));
  }
}

// One 32-bit register of the engine.
uint32_t register_value(uc_engine* uc, int id, const char* what) {
  uint32_t value = 0;
  check_engine(uc_reg_read(uc, id, &value), what);
  return value;
}

// The fault the engine's own error stands for, at `at`.
Fault engine_fault(uc_err error, uint32_t at) {
  return Fault{
      error == UC_ERR_INSN_INVALID ? FaultKind::kInvalidInstruction : FaultKind::kCpuException,
      at,
      at,
      at,
      {},
      error == UC_ERR_INSN_INVALID ? "" : uc_strerror(error)};
}

// The general registers, EIP and EFLAGS: what a nested guest call saves and puts back.
struct SavedRegisters {
  static constexpr int kIds[] = {UC_X86_REG_EAX, UC_X86_REG_EBX,   UC_X86_REG_ECX, UC_X86_REG_EDX,
                                 UC_X86_REG_ESI, UC_X86_REG_EDI,   UC_X86_REG_EBP, UC_X86_REG_ESP,
                                 UC_X86_REG_EIP, UC_X86_REG_EFLAGS};
  uint32_t values[std::size(kIds)] = {};

  void save(uc_engine* uc) {
    for (size_t i = 0; i < std::size(kIds); ++i)
      check_engine(uc_reg_read(uc, kIds[i], &values[i]), "reg");
  }
  void restore(uc_engine* uc) const {
    for (size_t i = 0; i < std::size(kIds); ++i) {
      check_engine(uc_reg_write(uc, kIds[i], &values[i]), "reg");
    }
  }
  // restore(), but EAX and EDX keep the nested routine's result for the trap handler.
  void restore_keeping_result(uc_engine* uc) const {
    const uint32_t eax = register_value(uc, UC_X86_REG_EAX, "eax");
    const uint32_t edx = register_value(uc, UC_X86_REG_EDX, "edx");
    restore(uc);
    check_engine(uc_reg_write(uc, UC_X86_REG_EAX, &eax), "eax");
    check_engine(uc_reg_write(uc, UC_X86_REG_EDX, &edx), "edx");
  }
};

bool page_aligned(uint64_t value) { return value % kPageSize == 0; }

// Guest RAM comes from anonymous mappings: zero pages the kernel supplies on first touch,
// so that a large, mostly unused region costs nothing until the guest or host writes it.
uint8_t* allocate_pages(uint32_t size) {
  void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  return static_cast<uint8_t*>(memory);
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// Unicorn 2.1.1 itself leaves a 32-byte allocation behind per engine; the leak checker of
// the sanitizer builds reports only leaks of our own.
extern "C" const char* __lsan_default_suppressions() { return "leak:libunicorn.so\n"; }
#endif

const char* fault_kind_text(FaultKind kind) {
  switch (kind) {
    case FaultKind::kReadUnmapped:
      return "read unmapped";
    case FaultKind::kWriteUnmapped:
      return "write unmapped";
    case FaultKind::kWriteProtected:
      return "write protected";
    case FaultKind::kExecuteOutside:
      return "execute outside the image";
    case FaultKind::kExecuteNonCode:
      return "execute outside the image's code";
    case FaultKind::kInvalidInstruction:
      return "invalid instruction";
    case FaultKind::kCpuException:
      return "cpu exception";
    case FaultKind::kBadBuffer:
      return "bad buffer";
    case FaultKind::kNestedTooDeep:
      return "nested guest calls too deep";
    case FaultKind::kBudgetExhausted:
      return "instruction budget exhausted";
    case FaultKind::kHalted:
      return "halted";
    case FaultKind::kUnusedTrap:
      return "call to an unused trap";
    case FaultKind::kStoppedOutsideReturn:
      return "stopped outside the return trap";
  }
  return "fault";
}

std::ostream& operator<<(std::ostream& out, FaultKind kind) { return out << fault_kind_text(kind); }

std::string Machine::engine_version() {
  unsigned major = 0, minor = 0;
  const unsigned packed = uc_version(&major, &minor);
  return "Unicorn " + std::to_string(major) + "." + std::to_string(minor) + "." +
         std::to_string(packed >> 8 & 0xFF);
}

void Machine::PageDeleter::operator()(uint8_t* memory) const { ::munmap(memory, size); }

void Machine::EngineCloser::operator()(uc_struct* uc) const { uc_close(uc); }
void Machine::ContextFree::operator()(uc_context* context) const { uc_context_free(context); }

bool Machine::Region::executable(uint32_t offset, uint32_t length) const {
  for (uint32_t page = offset / kPageSize; page <= (offset + length - 1) / kPageSize; ++page) {
    if (page_permissions[page] & kExecute) return true;
  }
  return false;
}

// One engine hook, deleted when its owner goes.
class Machine::Hook {
 public:
  Hook(uc_engine* uc, int type, void* callback, void* user, uint64_t begin, uint64_t end)
      : uc_(uc) {
    check_engine(uc_hook_add(uc, &handle_, type, callback, user, begin, end), "hook");
  }
  ~Hook() { uc_hook_del(uc_, handle_); }
  Hook(const Hook&) = delete;
  Hook& operator=(const Hook&) = delete;

 private:
  uc_engine* uc_;
  uc_hook handle_ = 0;
};

// Runs a hook's body so that nothing escapes into the engine: a GuestFault stops the run
// as the guest's fault, anything else is kept for the outermost call() to rethrow.
template <class R, class F>
R guarded(Machine& m, R fallback, F&& body) {
  try {
    return body();
  } catch (const GuestFault& g) {
    m.stop(StopKind::kFault, g.fault);
  } catch (...) {
    m.stop_with_host_error();
  }
  return fallback;
}

inline void Machine::follow_exit(uint32_t address) {
  if (running_exit_ == BlockExit::kCall) {
    // The CALL left the address after it on top of the stack. Only with a debugger may a block
    // end early: the engine starts it again after a write to its code, and its CALL has not run.
    const uint32_t after_block = running_block_ + running_block_size_;
    if (debugger_ != nullptr && !on_top_of_stack(after_block)) return;
    if (frame_count_ < kMaxCallFrames) frames_[frame_count_++] = {address, after_block};
    return;
  }
  // The common return: to where the innermost call came from.
  if (frame_count_ != 0 && frames_[frame_count_ - 1].return_address == address) {
    --frame_count_;
    return;
  }
  return_elsewhere(address);
}

// Runs for every block the guest executes: kept short, the rare cases out of line.
inline void Machine::on_block(uint32_t address, uint32_t size) {
  if (pending_stop_) return;
  if (window_stored_) forget_window_stores();
  if (running_exit_ != BlockExit::kOther) follow_exit(address);
  running_block_ = address;
  running_block_size_ = size;
  const bool trap_page = address - kTrapBase < kTrapPageSize;
  // A trap slot's lone RET stands in for the host's routine: not the guest's work, and free.
  // Anything else that runs on the trap page (code written there) counts against the budget,
  // though reports, which count the module's instructions, do not show it.
  if (trap_page && size == 1 && (address - kTrapBase) % kTrapStride == 0) {
    running_exit_ = BlockExit::kReturn;
    return;
  }
  const CachedCount& cached = count_cache_[count_slot(address)];
  uint32_t count = cached.count;
  running_exit_ = cached.exit;
  if (cached.address != address || cached.size != size || cached.count == 0) {
    const BlockCount& block = count_new_block(address, size);
    count = block.instructions;
    running_exit_ = block.exit;
  }
  if (instructions_ + trap_instructions_ + count > budget_end_) return stop_at_budget(address);
  if (trap_page) {
    trap_instructions_ += count;
    return;
  }
  last_block_ = address;
  instructions_ += count;
  if (observer_) observer_->on_block(address, size);
}

class Machine::Frame final : public TrapFrame {
 public:
  Frame(Machine& m, uint32_t trap) : m_(m), esp_(m.esp()), trap_(trap) {}
  uint32_t arg(unsigned index) const override { return m_.guest_read32(esp_ + 4 + 4 * index); }
  uint32_t return_address() const override { return m_.guest_read32(esp_); }
  uint32_t trap_address() const override { return trap_; }
  void set_result(uint32_t eax) override {
    check_engine(uc_reg_write(m_.uc_.get(), UC_X86_REG_EAX, &eax), "eax");
  }
  void set_result64(uint64_t value) override {
    const uint32_t lo = static_cast<uint32_t>(value), hi = static_cast<uint32_t>(value >> 32);
    check_engine(uc_reg_write(m_.uc_.get(), UC_X86_REG_EAX, &lo), "eax");
    check_engine(uc_reg_write(m_.uc_.get(), UC_X86_REG_EDX, &hi), "edx");
  }

 private:
  Machine& m_;
  uint32_t esp_;
  uint32_t trap_;
};

Machine::Machine(InstructionCounter counter, MachineOptions options)
    : counter_(std::move(counter)), options_(options) {
  // The engine maps 1 GiB for the code it translates, and when it cannot (a memory limit,
  // ulimit -v) it ends the whole process with status 1, which would read as a module failure.
  // The same room asked for first, and handed back, makes that an error the caller sees.
  constexpr size_t kTranslationBuffer = size_t{1} << 30;
  void* room = ::mmap(nullptr, kTranslationBuffer + (size_t{1} << 20), PROT_NONE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (room == MAP_FAILED) {
    throw std::runtime_error(
        "the CPU engine needs 1 GiB of address space for translated code, and the process "
        "may not have it (a memory limit such as ulimit -v)");
  }
  ::munmap(room, kTranslationBuffer + (size_t{1} << 20));
  uc_engine* uc = nullptr;
  check_engine(uc_open(UC_ARCH_X86, UC_MODE_32, &uc), "open");
  uc_.reset(uc);
  // The trap page holds one RET per trap: the host does the work in a code hook at the
  // trap address and returns for the guest.
  map_ram(kTrapBase, kTrapPageSize, kRead | kExecute, "trap page", OnReset::kKeep);
  write(kTrapBase, std::vector<uint8_t>(kTrapPageSize, kRet));
  reserve_for_host(kTrapBase, kTrapPageSize);
  add_hooks();
  return_trap_ = add_trap("return to host", [](TrapFrame&) {});
  uc_context* context = nullptr;
  check_engine(uc_context_alloc(uc_.get(), &context), "context");
  initial_context_.reset(context);
  check_engine(uc_context_save(uc_.get(), initial_context_.get()), "context");
}

Machine::~Machine() = default;

void Machine::add_hooks() {
  uc_engine* uc = uc_.get();
  auto add = [&](int type, void* callback, uint64_t begin, uint64_t end) {
    hooks_.push_back(std::make_unique<Hook>(uc, type, callback, this, begin, end));
  };
  add(UC_HOOK_CODE,
      reinterpret_cast<void*>(+[](uc_engine*, uint64_t address, uint32_t, void* self) {
        auto& m = *static_cast<Machine*>(self);
        guarded(m, 0, [&] {
          m.on_trap(static_cast<uint32_t>(address));
          return 0;
        });
      }),
      kTrapBase, kTrapBase + kTrapPageSize - 1);
  add(UC_HOOK_BLOCK,
      reinterpret_cast<void*>(+[](uc_engine*, uint64_t address, uint32_t size, void* self) {
        auto& m = *static_cast<Machine*>(self);
        guarded(m, 0, [&] {
          m.on_block(static_cast<uint32_t>(address), size);
          return 0;
        });
      }),
      1, 0);
  add(UC_HOOK_MEM_INVALID,
      reinterpret_cast<void*>(
          +[](uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t value, void* self) {
            auto& m = *static_cast<Machine*>(self);
            return guarded(m, false, [&] {
              return m.on_invalid(type, static_cast<uint32_t>(address), size, value);
            });
          }),
      1, 0);
  add(UC_HOOK_INTR, reinterpret_cast<void*>(+[](uc_engine*, uint32_t number, void* self) {
        auto& m = *static_cast<Machine*>(self);
        guarded(m, 0, [&] {
          m.on_interrupt(number);
          return 0;
        });
      }),
      1, 0);
  if (options_.precise) add_precise_hook();
}

void Machine::add_precise_hook() {
  // A code hook makes the engine keep EIP exact at every instruction; a debugger, when there
  // is one, sees each instruction here.
  precise_hook_ = std::make_unique<Hook>(
      uc_.get(), UC_HOOK_CODE,
      reinterpret_cast<void*>(+[](uc_engine*, uint64_t address, uint32_t, void* self) {
        auto& m = *static_cast<Machine*>(self);
        if (m.debugger_ == nullptr || m.pending_stop_) return;
        guarded(m, 0, [&] {
          m.debugger_->before_instruction(static_cast<uint32_t>(address));
          return 0;
        });
      }),
      this, 1, 0);
}

void Machine::set_precise(bool precise) {
  if (precise == options_.precise) return;
  if (!precise && debugger_ != nullptr)
    throw std::logic_error("a debugger needs a precise machine");
  options_.precise = precise;
  if (precise) {
    add_precise_hook();
  } else {
    precise_hook_.reset();
  }
  // Code translated before carries the old instrumentation: translate it again. Code runs
  // only from RAM the machine owns, so dropping what was translated from there is enough; the
  // engine's whole-cache flush costs seconds (and its TLB flush keeps translated code).
  for (const Region& r : regions_) drop_translations(r.base, r.size);
}

void Machine::map_ram(uint32_t base, uint32_t size, uint8_t permissions, std::string name,
                      OnReset on_reset) {
  if (!page_aligned(base) || !page_aligned(size) || size == 0 ||
      uint64_t{base} + size > 0x100000000ull) {
    throw std::invalid_argument("map_ram: " + hex(base, 8) + "+" + hex(size) + " is not pages");
  }
  label(base, size, name, true);
  Region region;
  region.base = base;
  region.size = size;
  region.name = std::move(name);
  region.on_reset = on_reset;
  region.page_permissions.assign(size / kPageSize, permissions);
  region.memory = {allocate_pages(size), PageDeleter{size}};
  check_engine(uc_mem_map_ptr(uc_.get(), base, size, permissions, region.memory.get()), "map ram");
  const auto at = std::upper_bound(regions_.begin(), regions_.end(), base,
                                   [](uint32_t b, const Region& r) { return b < r.base; });
  regions_.insert(at, std::move(region));
}

void Machine::protect(uint32_t base, uint32_t size, uint8_t permissions) {
  Region* r = region_for(base, size);
  if (!r || !page_aligned(base) || !page_aligned(size)) {
    throw std::invalid_argument("protect: " + hex(base, 8) + "+" + hex(size) + " is not RAM pages");
  }
  if (size == 0) return;
  check_engine(uc_mem_protect(uc_.get(), base, size, permissions), "protect");
  std::fill_n(r->page_permissions.begin() + (base - r->base) / kPageSize, size / kPageSize,
              permissions);
}

void Machine::allow_writes(uint32_t base, uint32_t size) {
  if (size != 0) writable_windows_.emplace_back(base, size);
}

void Machine::label(uint32_t base, uint32_t size, std::string name, bool persistent) {
  if (size != 0 && !name.empty()) labels_.push_back({base, size, std::move(name), persistent});
}

std::string Machine::region_label(uint32_t address) const {
  // The latest, and so the finest, label that holds the address.
  for (auto it = labels_.rbegin(); it != labels_.rend(); ++it) {
    if (address >= it->base && address - it->base < it->size) return it->name;
  }
  return {};
}

void Machine::map_device(uint32_t base, uint64_t size, MmioDevice& device) {
  devices_.push_back(std::make_unique<DeviceMapping>(DeviceMapping{this, &device}));
  check_engine(uc_mmio_map(
                   uc_.get(), base, size,
                   +[](uc_engine*, uint64_t offset, unsigned width, void* user) -> uint64_t {
                     auto* d = static_cast<DeviceMapping*>(user);
                     return guarded(*d->machine, ~uint64_t{0}, [&] {
                       return d->device->read(static_cast<uint32_t>(offset), width);
                     });
                   },
                   devices_.back().get(),
                   +[](uc_engine*, uint64_t offset, unsigned width, uint64_t value, void* user) {
                     auto* d = static_cast<DeviceMapping*>(user);
                     guarded(*d->machine, 0, [&] {
                       d->device->write(static_cast<uint32_t>(offset), width, value);
                       return 0;
                     });
                   },
                   devices_.back().get()),
               "map device");
}

Machine::Region* Machine::region_at(uint32_t address) {
  return const_cast<Region*>(std::as_const(*this).region_at(address));
}

const Machine::Region* Machine::region_at(uint32_t address) const {
  // Accesses come in runs to one region: try the last one first.
  if (last_region_ < regions_.size()) {
    const Region& r = regions_[last_region_];
    if (address - r.base < r.size) return &r;
  }
  auto it = std::upper_bound(regions_.begin(), regions_.end(), address,
                             [](uint32_t a, const Region& r) { return a < r.base; });
  if (it == regions_.begin()) return nullptr;
  --it;
  if (address - it->base >= it->size) return nullptr;
  last_region_ = static_cast<size_t>(it - regions_.begin());
  return &*it;
}

Machine::Region* Machine::region_for(uint32_t address, uint64_t size) {
  return const_cast<Region*>(std::as_const(*this).region_for(address, size));
}

const Machine::Region* Machine::region_for(uint32_t address, uint64_t size) const {
  const Region* r = region_at(address);
  if (!r || size > r->size - (address - r->base)) return nullptr;
  return r;
}

void Machine::write(uint32_t address, std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  Region* r = region_for(address, bytes.size());
  if (!r) {
    throw std::runtime_error("host write of " + std::to_string(bytes.size()) + " bytes at " +
                             hex(address, 8) + " outside RAM");
  }
  const uint32_t offset = address - r->base;
  r->dirty_end = std::max(r->dirty_end, offset + static_cast<uint32_t>(bytes.size()));
  std::memcpy(r->memory.get() + offset, bytes.data(), bytes.size());
  // The engine does not notice a write to code it translated, not even through its own
  // write call: the translation goes explicitly.
  if (r->executable(offset, static_cast<uint32_t>(bytes.size()))) {
    forget_code(address, static_cast<uint32_t>(bytes.size()));
  }
}

void Machine::drop_translations(uint32_t address, uint32_t size) {
  check_engine(uc_ctl_remove_cache(uc_.get(), address, uint64_t{address} + size),
               "drop translated code");
}

void Machine::forget_code(uint32_t address, uint32_t size) {
  drop_translations(address, size);
  // Blocks counted there may now hold other instructions.
  const uint64_t end = uint64_t{address} + size;
  const auto overlaps = [&](uint64_t block, uint64_t length) {
    return block < end && block + length > address;
  };
  std::erase_if(block_counts_, [&](const auto& entry) {
    return overlaps(entry.first >> 32, entry.first & 0xFFFFFFFF);
  });
  for (CachedCount& c : count_cache_) {
    if (c.count != 0 && overlaps(c.address, c.size)) c = {};
  }
}

void Machine::reserve_for_host(uint32_t base, uint32_t size) {
  if (size != 0) host_ranges_.emplace_back(base, size);
}

Machine::DebugWrite Machine::debugger_write(uint32_t address, std::span<const uint8_t> bytes) {
  if (bytes.empty()) return DebugWrite::kWritten;
  const uint64_t end = uint64_t{address} + bytes.size();
  Region* r = end <= 0x100000000ull ? region_for(address, bytes.size()) : nullptr;
  const bool host_owned = std::any_of(host_ranges_.begin(), host_ranges_.end(), [&](const auto& h) {
    return address < uint64_t{h.first} + h.second && h.first < end;
  });
  if (!r || host_owned) return DebugWrite::kRefused;
  write(address, bytes);
  if (!r->executable(address - r->base, static_cast<uint32_t>(bytes.size()))) {
    return DebugWrite::kWritten;
  }
  const bool running = depth_ > 0 && running_block_size_ != 0 &&
                       address < uint64_t{running_block_} + running_block_size_ &&
                       running_block_ < end;
  return running ? DebugWrite::kRunningCodeChanged : DebugWrite::kWritten;
}

void Machine::read(uint32_t address, std::span<uint8_t> bytes) const {
  if (bytes.empty()) return;
  const Region* r = region_for(address, bytes.size());
  if (!r) {
    throw std::runtime_error("host read of " + std::to_string(bytes.size()) + " bytes at " +
                             hex(address, 8) + " outside RAM");
  }
  std::memcpy(bytes.data(), r->memory.get() + (address - r->base), bytes.size());
}

std::vector<uint8_t> Machine::read(uint32_t address, uint32_t size) const {
  std::vector<uint8_t> bytes(size);
  read(address, bytes);
  return bytes;
}

uint8_t Machine::read8(uint32_t address) const {
  uint8_t b[1];
  read(address, b);
  return b[0];
}
uint16_t Machine::read16(uint32_t address) const {
  uint8_t b[2];
  read(address, b);
  return static_cast<uint16_t>(b[0] | b[1] << 8);
}
uint32_t Machine::read32(uint32_t address) const {
  uint8_t b[4];
  read(address, b);
  return static_cast<uint32_t>(b[0] | b[1] << 8 | b[2] << 16) | static_cast<uint32_t>(b[3]) << 24;
}
void Machine::write8(uint32_t address, uint8_t value) { write(address, {&value, 1}); }
void Machine::write16(uint32_t address, uint16_t value) {
  const uint8_t b[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  write(address, b);
}
void Machine::write32(uint32_t address, uint32_t value) {
  const uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  write(address, b);
}

bool Machine::writable_by_guest(uint32_t address, uint32_t size) const {
  const Region* r = region_for(address, size);
  if (!r) return false;
  bool pages_writable = true;
  for (uint32_t page = (address - r->base) / kPageSize;
       page <= (address - r->base + size - 1) / kPageSize; ++page) {
    pages_writable = pages_writable && (r->page_permissions[page] & kWrite) != 0;
  }
  if (pages_writable) return true;
  return std::any_of(writable_windows_.begin(), writable_windows_.end(), [&](const auto& w) {
    return address >= w.first && uint64_t{address} + size <= uint64_t{w.first} + w.second;
  });
}

void Machine::check_guest(uint32_t address, uint64_t size, Permission access) const {
  if (size == 0) return;
  // The first byte that is not there, for the report.
  const auto missing = [&]() -> uint32_t {
    uint64_t at = address;
    while (at < uint64_t{address} + size) {
      const Region* r = region_at(static_cast<uint32_t>(at));
      if (!r) return static_cast<uint32_t>(at);
      at = uint64_t{r->base} + r->size;
    }
    return address;
  };
  if (uint64_t{address} + size > 0x100000000ull || !region_for(address, size)) {
    const uint32_t at = missing();
    throw GuestFault{
        {FaultKind::kBadBuffer, at, eip(), eip(), region_label(at),
         std::to_string(size) + " bytes at " + hex(address, 8) + " are not all memory"}};
  }
  if (access == kWrite && !writable_by_guest(address, static_cast<uint32_t>(size))) {
    throw GuestFault{{FaultKind::kWriteProtected, address, eip(), eip(), region_label(address),
                      std::to_string(size) + " bytes written on the guest's behalf"}};
  }
}

void Machine::guest_read(uint32_t address, std::span<uint8_t> bytes) const {
  check_guest(address, bytes.size(), kRead);
  read(address, bytes);
}

void Machine::guest_write(uint32_t address, std::span<const uint8_t> bytes) {
  check_guest(address, bytes.size(), kWrite);
  write(address, bytes);
}

uint32_t Machine::guest_read32(uint32_t address) const {
  check_guest(address, 4, kRead);
  return read32(address);
}

void Machine::guest_write32(uint32_t address, uint32_t value) {
  check_guest(address, 4, kWrite);
  write32(address, value);
}

std::string Machine::guest_cstring(uint32_t address, size_t limit, bool* truncated) const {
  std::string text;
  if (truncated) *truncated = false;
  uint64_t at = address;
  // Region by region: a string may run from one into the next one that adjoins it.
  while (text.size() < limit) {
    const Region* r = at < 0x100000000ull ? region_at(static_cast<uint32_t>(at)) : nullptr;
    if (r == nullptr) {
      const uint32_t where = static_cast<uint32_t>(at);
      throw GuestFault{{FaultKind::kBadBuffer, where, eip(), eip(), region_label(where),
                        "a string at " + hex(address, 8) + " runs out of memory"}};
    }
    const uint8_t* start = r->memory.get() + (at - r->base);
    const size_t room = std::min<uint64_t>(uint64_t{r->base} + r->size - at, limit - text.size());
    const void* end = std::memchr(start, 0, room);
    const size_t length =
        end ? static_cast<size_t>(static_cast<const uint8_t*>(end) - start) : room;
    text.append(reinterpret_cast<const char*>(start), length);
    if (end) return text;
    at += length;
  }
  if (truncated) *truncated = true;
  return text;
}

void Machine::set_idt(uint32_t base, uint16_t limit) {
  uc_x86_mmr idtr{};
  idtr.base = base;
  idtr.limit = limit;
  check_engine(uc_reg_write(uc_.get(), UC_X86_REG_IDTR, &idtr), "idtr");
}

uint32_t Machine::eip() const { return register_value(uc_.get(), UC_X86_REG_EIP, "eip"); }
uint32_t Machine::esp() const { return register_value(uc_.get(), UC_X86_REG_ESP, "esp"); }
uint32_t Machine::eax() const { return register_value(uc_.get(), UC_X86_REG_EAX, "eax"); }
uint32_t Machine::edx() const { return register_value(uc_.get(), UC_X86_REG_EDX, "edx"); }

uint32_t Machine::add_trap(std::string name, TrapHandler handler) {
  const uint32_t address = kTrapBase + static_cast<uint32_t>(traps_.size()) * kTrapStride;
  if (address >= kTrapBase + kTrapPageSize) throw std::runtime_error("trap page full");
  traps_.push_back({std::move(name), std::move(handler)});
  return address;
}

const std::string* Machine::trap_name(uint32_t address) const {
  if (address < kTrapBase || (address - kTrapBase) % kTrapStride != 0) return nullptr;
  const size_t index = (address - kTrapBase) / kTrapStride;
  return index < traps_.size() ? &traps_[index].name : nullptr;
}

const BlockCount& Machine::count_new_block(uint32_t address, uint32_t size) {
  const uint64_t key = uint64_t{address} << 32 | size;
  auto it = block_counts_.find(key);
  if (it == block_counts_.end()) {
    std::vector<uint8_t> bytes(size);
    check_engine(uc_mem_read(uc_.get(), address, bytes.data(), size), "read block");
    it = block_counts_.emplace(key, counter_(address, bytes)).first;
  }
  if (size > UINT16_MAX) return it->second;  // no block is that large; if one were, uncached
  count_cache_[count_slot(address)] = {.address = address,
                                       .count = it->second.instructions,
                                       .size = static_cast<uint16_t>(size),
                                       .exit = it->second.exit};
  return it->second;
}

bool Machine::on_top_of_stack(uint32_t value) const {
  const uint32_t sp = esp();
  const Region* r = region_for(sp, 4);
  uint32_t top = 0;
  if (r != nullptr) std::memcpy(&top, r->memory.get() + (sp - r->base), 4);
  return top == value;
}

void Machine::return_elsewhere(uint32_t address) {
  // To an outer frame's return address, inside the host's innermost call: the frames inside
  // that one ended with it (a routine that dropped its caller's frame). Anywhere else (a return
  // address the routine overwrote, a jump made of a push and a RET): the innermost frame ended.
  for (size_t i = frame_count_; i-- > 0;) {
    if (frames_[i].return_address == address) {
      frame_count_ = i;
      return;
    }
    if (frames_[i].return_address == return_trap_) break;
  }
  if (frame_count_ != 0 && frames_[frame_count_ - 1].return_address != return_trap_) {
    --frame_count_;
  }
}

StopInfo Machine::stopped(StopKind kind, Fault fault) const {
  const std::span<const CallFrame> frames = call_stack();
  return StopInfo{kind, std::move(fault), {frames.begin(), frames.end()}, cpu()};
}

void Machine::forget_window_stores() {
  // The engine let a store into a writable window through (on_invalid) and keeps the page's
  // translation writable from then on: drop it, so that a store elsewhere on the page meets
  // the page's protection again. (Not from inside on_invalid: the engine fills the
  // translation after that hook returns.)
  window_stored_ = false;
  check_engine(uc_ctl_flush_tlb(uc_.get()), "flush address translations");
}

void Machine::stop_at_budget(uint32_t address) {
  // Stopped before the block runs, so the count stays that of the instructions executed.
  stop(StopKind::kHang, {FaultKind::kBudgetExhausted, address, address, address, {}, {}});
}

void Machine::on_trap(uint32_t address) {
  if (pending_stop_) return;
  const uint32_t offset = address - kTrapBase;
  if (offset % kTrapStride != 0 || offset / kTrapStride >= traps_.size()) {
    stop(StopKind::kFault,
         {FaultKind::kUnusedTrap, address, address, last_block_, "trap page", {}});
    return;
  }
  Frame frame(*this, address);
  const uint32_t sp = esp();
  nested_since_trap_ = false;
  const uint32_t return_to = guest_read32(sp);
  try {
    traps_[offset / kTrapStride].handler(frame);
  } catch (GuestFault& g) {
    // What the service was handed is the calling routine's doing.
    if (g.fault.blame - kTrapBase < kTrapPageSize) g.fault.blame = return_to;
    throw;
  }
  if (pending_stop_) return;
  // Without a nested call the trap's own RET returns to the caller. After one, the host
  // performs the RET: the engine would otherwise restart the interrupted block at the trap
  // address and run the handler a second time. (Writing EIP from a hook makes the engine
  // drop and look up translated code again, so it is kept to that case.)
  if (!nested_since_trap_) return;
  const uint32_t new_sp = sp + 4;
  check_engine(uc_reg_write(uc_.get(), UC_X86_REG_ESP, &new_sp), "esp");
  check_engine(uc_reg_write(uc_.get(), UC_X86_REG_EIP, &return_to), "eip");
}

uint32_t Machine::fault_site() const {
  // Without a code hook the engine updates EIP only now and then inside chained blocks, so
  // what it holds at a fault depends on what ran before; the block that faulted does not.
  return options_.precise || last_block_ == 0 ? eip() : last_block_;
}

bool Machine::on_invalid(int type, uint32_t address, int size, int64_t value) {
  const uint32_t at = fault_site();
  switch (type) {
    case UC_MEM_WRITE_PROT:
      if (size > 0 && size <= 8 && writable_by_guest(address, static_cast<uint32_t>(size))) {
        // A writable section sharing a page with constants: carry out the store here.
        uint8_t bytes[8];
        for (int i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
        write(address, {bytes, static_cast<size_t>(size)});
        window_stored_ = true;
        return true;
      }
      last_invalid_ = Fault{FaultKind::kWriteProtected, address, at, at, region_label(address), {}};
      break;
    case UC_MEM_WRITE_UNMAPPED:
      last_invalid_ = Fault{FaultKind::kWriteUnmapped, address, at, at, region_label(address), {}};
      break;
    case UC_MEM_FETCH_UNMAPPED:
    case UC_MEM_FETCH_PROT: {
      // Blame the block that jumped there.
      const bool in_image = address - image_.first < image_.second;
      last_invalid_ = Fault{in_image ? FaultKind::kExecuteNonCode : FaultKind::kExecuteOutside,
                            address,
                            address,
                            last_block_,
                            region_label(address),
                            {}};
      break;
    }
    default:
      last_invalid_ = Fault{FaultKind::kReadUnmapped, address, at, at, region_label(address), {}};
      break;
  }
  return false;
}

void Machine::on_interrupt(uint32_t number) {
  const uint32_t at = fault_site();
  stop(StopKind::kFault,
       {FaultKind::kCpuException, at, at, at, {}, "vector " + std::to_string(number), number});
}

void Machine::stop(StopKind kind, Fault fault) {
  if (!pending_stop_) pending_stop_ = stopped(kind, std::move(fault));
  report_stop();
  uc_emu_stop(uc_.get());
}

void Machine::report_stop() {
  if (debugger_ == nullptr || stop_reported_ || !pending_stop_ || host_error_) return;
  stop_reported_ = true;
  debugger_->on_stop(*pending_stop_);
}

void Machine::set_debug_observer(DebugObserver* observer) {
  if (observer != nullptr && !options_.precise) {
    throw std::logic_error("a debugger needs a precise machine");
  }
  debugger_ = observer;
}

CpuState Machine::cpu() const {
  static constexpr int kIds[] = {UC_X86_REG_EAX, UC_X86_REG_ECX,    UC_X86_REG_EDX, UC_X86_REG_EBX,
                                 UC_X86_REG_ESP, UC_X86_REG_EBP,    UC_X86_REG_ESI, UC_X86_REG_EDI,
                                 UC_X86_REG_EIP, UC_X86_REG_EFLAGS, UC_X86_REG_CS,  UC_X86_REG_SS,
                                 UC_X86_REG_DS,  UC_X86_REG_ES,     UC_X86_REG_FS,  UC_X86_REG_GS};
  static_assert(sizeof(CpuState) == sizeof(uint32_t) * std::size(kIds));
  CpuState state;
  uint32_t* values = &state.eax;
  for (size_t i = 0; i < std::size(kIds); ++i)
    check_engine(uc_reg_read(uc_.get(), kIds[i], &values[i]), "reg");
  return state;
}

void Machine::set_cpu(const CpuState& state) {
  // Segment registers stay as the engine set them up: a flat 32-bit guest has no use for
  // others, and loading one that the descriptor tables do not back would fault the host.
  static constexpr int kIds[] = {UC_X86_REG_EAX, UC_X86_REG_ECX,   UC_X86_REG_EDX, UC_X86_REG_EBX,
                                 UC_X86_REG_ESP, UC_X86_REG_EBP,   UC_X86_REG_ESI, UC_X86_REG_EDI,
                                 UC_X86_REG_EIP, UC_X86_REG_EFLAGS};
  const uint32_t* values = &state.eax;
  for (size_t i = 0; i < std::size(kIds); ++i)
    check_engine(uc_reg_write(uc_.get(), kIds[i], &values[i]), "reg");
}

void Machine::stop_with_host_error() {
  if (!host_error_) host_error_ = std::current_exception();
  if (!pending_stop_) {
    pending_stop_ = StopInfo{StopKind::kHalted, {FaultKind::kHalted, 0, 0, 0, {}, "host error"}};
  }
  uc_emu_stop(uc_.get());
}

void Machine::halt(std::string reason, uint32_t at) {
  stop(StopKind::kHalted, {FaultKind::kHalted, at, at, at, {}, std::move(reason)});
}

void Machine::refuse_nested_call(uint32_t address) const {
  const uint32_t at = eip();
  throw GuestFault{{FaultKind::kNestedTooDeep,
                    address,
                    at,
                    last_block_,
                    {},
                    std::to_string(depth_) + " calls deep"}};
}

void Machine::begin_outermost_call(uint64_t budget) {
  budget_end_ = instructions_ + trap_instructions_ + budget;
  pending_stop_.reset();
  host_error_ = nullptr;
  stop_reported_ = false;
  frame_count_ = 0;
}

void Machine::push_call_frame(uint32_t sp, std::span<const uint32_t> args) {
  std::vector<uint32_t> frame{return_trap_};
  frame.insert(frame.end(), args.begin(), args.end());
  sp -= static_cast<uint32_t>(4 * frame.size());
  std::vector<uint8_t> bytes(4 * frame.size());
  for (size_t i = 0; i < frame.size(); ++i) {
    for (int b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<uint8_t>(frame[i] >> (8 * b));
  }
  guest_write(sp, bytes);  // a nested frame goes where the guest's stack pointer says
  check_engine(uc_reg_write(uc_.get(), UC_X86_REG_ESP, &sp), "esp");
}

void Machine::rethrow_host_error(bool outermost) {
  std::exception_ptr e = host_error_;
  if (outermost) host_error_ = nullptr;
  std::rethrow_exception(e);
}

StopInfo Machine::call_result() {
  StopInfo result = pending_stop_.value_or(StopInfo{});
  if (!pending_stop_ && eip() != return_trap_) {
    const uint32_t at = eip();
    result =
        stopped(StopKind::kFault, {FaultKind::kStoppedOutsideReturn, at, at, last_block_, {}, {}});
    pending_stop_ = result;
  }
  return result;
}

StopInfo Machine::call(uint32_t address, std::span<const uint32_t> args, uint64_t budget) {
  const bool outermost = depth_ == 0;
  if (!outermost && depth_ >= kMaxDepth) refuse_nested_call(address);
  SavedRegisters saved;
  uint32_t sp = stack_top_;
  if (outermost) {
    begin_outermost_call(budget);
  } else {
    saved.save(uc_.get());
    sp = (esp() - 64) & ~15u;  // below the interrupted frame, aligned
  }
  push_call_frame(sp, args);
  // The routine's frame, above whatever the interrupted guest code is in; what the nested run
  // leaves of its own frames goes when it ends.
  const size_t frames_before = frame_count_;
  const BlockExit exit_before = std::exchange(running_exit_, BlockExit::kOther);
  if (frames_before < kMaxCallFrames) frames_[frame_count_++] = {address, return_trap_};
  ++depth_;
  nested_since_trap_ = true;
  last_invalid_.reset();
  const uc_err error = uc_emu_start(uc_.get(), address, return_trap_, 0, 0);
  --depth_;
  nested_since_trap_ = true;  // for the trap handler that made this call, if any
  if (host_error_) {
    if (!outermost) saved.restore(uc_.get());
    rethrow_host_error(outermost);
  }
  if (error != UC_ERR_OK && !pending_stop_) {
    const uint32_t at = fault_site();
    pending_stop_ = stopped(StopKind::kFault, last_invalid_.value_or(engine_fault(error, at)));
    report_stop();
  }
  StopInfo result = call_result();
  frame_count_ = std::min(frame_count_, frames_before);
  // The interrupted block (a trap slot's RET) goes on as it would have.
  running_exit_ = exit_before;
  if (!outermost) {
    // The nested routine's result stays readable through eax()/edx() for the handler.
    saved.restore_keeping_result(uc_.get());
    if (pending_stop_) uc_emu_stop(uc_.get());  // the outer run ends with the inner one
  }
  return result;
}

void Machine::reset() {
  check_engine(uc_context_restore(uc_.get(), initial_context_.get()), "context");
  for (Region& r : regions_) {
    if (r.on_reset == OnReset::kKeep) continue;
    const bool guest_writable = std::any_of(r.page_permissions.begin(), r.page_permissions.end(),
                                            [](uint8_t p) { return (p & kWrite) != 0; });
    const uint32_t cleared = guest_writable ? r.size : r.dirty_end;
    std::memset(r.memory.get(), 0, cleared);
    if (cleared != 0 && r.executable(0, cleared)) forget_code(r.base, cleared);
    r.dirty_end = 0;
  }
  traps_.resize(1);  // the return trap
  instructions_ = 0;
  trap_instructions_ = 0;
  budget_end_ = 0;
  last_block_ = 0;
  running_block_ = running_block_size_ = 0;
  running_exit_ = BlockExit::kOther;
  frame_count_ = 0;
  pending_stop_.reset();
  last_invalid_.reset();
  host_error_ = nullptr;
  labels_.erase(
      std::remove_if(labels_.begin(), labels_.end(), [](const Label& l) { return !l.persistent; }),
      labels_.end());
}

}  // namespace peiboard
