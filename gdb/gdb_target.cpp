#include "gdb_target.h"

#include <algorithm>

#include "format.h"

namespace peiboard::gdb {
namespace {

// The CPU exception vectors a debugger has a signal of its own for.
namespace vector {
constexpr uint32_t kDivideError = 0;
constexpr uint32_t kInvalidOpcode = 6;
constexpr uint32_t kGeneralProtection = 13;
constexpr uint32_t kPageFault = 14;
}  // namespace vector

Signal signal_of_vector(std::optional<uint32_t> cpu_vector) {
  if (!cpu_vector) return kSigTrap;
  switch (*cpu_vector) {
    case vector::kDivideError:
      return kSigFpe;
    case vector::kInvalidOpcode:
      return kSigIll;
    case vector::kGeneralProtection:
    case vector::kPageFault:
      return kSigSegv;
    default:
      return kSigTrap;
  }
}

}  // namespace

Signal signal_of(const StopInfo& stop) {
  if (stop.kind != StopKind::kFault) return kSigTrap;
  switch (stop.fault.kind) {
    case FaultKind::kReadUnmapped:
    case FaultKind::kWriteUnmapped:
    case FaultKind::kWriteProtected:
    case FaultKind::kExecuteOutside:
    case FaultKind::kExecuteNonCode:
    case FaultKind::kBadBuffer:
      return kSigSegv;
    case FaultKind::kInvalidInstruction:
      return kSigIll;
    case FaultKind::kCpuException:
      return signal_of_vector(stop.fault.vector);
    default:
      return kSigTrap;
  }
}

std::string describe(const StopInfo& stop) {
  const Fault& f = stop.fault;
  std::string text = "peiboard: ";
  text += stop.kind == StopKind::kHang     ? "hang: "
          : stop.kind == StopKind::kHalted ? "halt: "
                                           : "fault: ";
  text += f.kind == FaultKind::kHalted ? f.detail : std::string(fault_kind_text(f.kind));
  text += " at " + hex(f.address, 8);
  if (!f.region.empty()) text += " (" + f.region + ")";
  if (!f.detail.empty() && f.kind != FaultKind::kHalted) text += ", " + f.detail;
  return text + "\n";
}

CpuState Target::registers() const {
  CpuState state = machine_.cpu();
  if (shown_eip_) state.eip = *shown_eip_;
  return state;
}

Target::Change Target::set_registers(const CpuState& state) {
  const CpuState now = registers();
  if (same_registers(state, now)) return Change::kDone;
  // At the run's end the engine has been told to stop, and a register write would make it
  // carry on; in a trap the host routine has already run and would run again.
  if (run_over_ || now.eip - Machine::kTrapBase < Machine::kTrapPageSize) return Change::kRefused;
  machine_.set_cpu(state);
  reannounced_ = state.eip;
  return Change::kDone;
}

uint32_t Target::readable_prefix(uint32_t address, uint32_t size) const {
  size = static_cast<uint32_t>(std::min<uint64_t>(size, 0x100000000ull - address));
  auto ram = [&](uint32_t at, uint32_t length) {
    try {
      machine_.check_guest(at, length, kRead);
      return true;
    } catch (const GuestFault&) {
      return false;
    }
  };
  if (ram(address, size)) return size;
  uint32_t length = 0;
  while (length < size && ram(address + length, 1)) ++length;
  return length;
}

std::vector<uint8_t> Target::read_memory(uint32_t address, uint32_t length) const {
  return machine_.read(address, length);
}

Target::Change Target::write_memory(uint32_t address, std::span<const uint8_t> bytes) {
  const auto written = machine_.debugger_write(address, bytes);
  if (written == Machine::DebugWrite::kRefused) return Change::kRefused;
  if (written == Machine::DebugWrite::kRunningCodeChanged && !run_over_) {
    // The instruction the guest stands at may be one of those written: the engine starts
    // again at EIP and translates the new bytes (the trap page is never written, so this is
    // never a stop inside a trap).
    const CpuState now = machine_.cpu();
    machine_.set_cpu(now);
    reannounced_ = now.eip;
  }
  return Change::kDone;
}

Target::Change Target::insert_watch(uint32_t address, uint32_t length) {
  if (length == 0 || length > kMaxWatch || readable_prefix(address, length) != length) {
    return Change::kRefused;
  }
  watches_.push_back({address, length, machine_.read(address, length)});
  return Change::kDone;
}

void Target::remove_watch(uint32_t address, uint32_t length) {
  std::erase_if(watches_,
                [&](const Watch& w) { return w.address == address && w.length == length; });
}

std::optional<uint32_t> Target::written_watch() {
  for (const Watch& w : watches_) {
    now_.resize(w.length);
    machine_.read(w.address, now_);
    if (now_ != w.seen) return w.address;
  }
  return std::nullopt;
}

void Target::note_watched_bytes() {
  for (Watch& w : watches_) machine_.read(w.address, w.seen);
}

void Target::clear_breakpoints() {
  breakpoints_.clear();
  watches_.clear();
}

}  // namespace peiboard::gdb
