#include "pei_foundation.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "bytes.h"
#include "format.h"
#include "memory_map.h"

namespace peiboard {

std::optional<uint32_t> GuestArena::allocate(uint32_t size, uint32_t align) {
  const uint64_t at = (uint64_t{next_} + align - 1) & ~uint64_t{align - 1};
  if (at > end_ || size > end_ - at) return std::nullopt;
  next_ = static_cast<uint32_t>(at) + size;
  return static_cast<uint32_t>(at);
}

uint32_t GuestArena::place(std::span<const uint8_t> bytes, uint32_t align, std::string label) {
  auto at = allocate(static_cast<uint32_t>(bytes.size()), align);
  if (!at) {
    throw std::runtime_error("guest arena at " + hex(base_, 8) + " exhausted placing " +
                             std::to_string(bytes.size()) + " bytes");
  }
  machine_.write(*at, bytes);
  machine_.label(*at, static_cast<uint32_t>(bytes.size()), std::move(label));
  return *at;
}

uint32_t GuestArena::place_string(const std::string& text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return place(bytes, 1);
}

namespace {

// Slots of EFI_PEI_SERVICES on IA32 (PI 1.x volume 1), after the 24-byte table header.
enum Slot : uint32_t {
  kInstallPpi,
  kReInstallPpi,
  kLocatePpi,
  kNotifyPpi,
  kGetBootMode,
  kSetBootMode,
  kGetHobList,
  kCreateHob,
  kFfsFindNextVolume,
  kFfsFindNextFile,
  kFfsFindSectionData,
  kInstallPeiMemory,
  kAllocatePages,
  kAllocatePool,
  kCopyMem,
  kSetMem,
  kReportStatusCode,
  kResetSystem,
  kCpuIo,
  kPciCfg,
  kFfsFindFileByName,
  kFfsGetFileInfo,
  kFfsGetVolumeInfo,
  kRegisterForShadow,
  kFindSectionData3,
  kFfsGetFileInfo2,
  kResetSystem2,
  kFreePages,
  kSlotCount
};
constexpr const char* kSlotNames[] = {"InstallPpi",
                                      "ReInstallPpi",
                                      "LocatePpi",
                                      "NotifyPpi",
                                      "GetBootMode",
                                      "SetBootMode",
                                      "GetHobList",
                                      "CreateHob",
                                      "FfsFindNextVolume",
                                      "FfsFindNextFile",
                                      "FfsFindSectionData",
                                      "InstallPeiMemory",
                                      "AllocatePages",
                                      "AllocatePool",
                                      "CopyMem",
                                      "SetMem",
                                      "ReportStatusCode",
                                      "ResetSystem",
                                      "CpuIo",
                                      "PciCfg",
                                      "FfsFindFileByName",
                                      "FfsGetFileInfo",
                                      "FfsGetVolumeInfo",
                                      "RegisterForShadow",
                                      "FindSectionData3",
                                      "FfsGetFileInfo2",
                                      "ResetSystem2",
                                      "FreePages"};
static_assert(std::size(kSlotNames) == kSlotCount);
constexpr uint32_t kHeaderSize = 24;
static_assert(kHeaderSize + 4 * kSetMem == 0x54, "SetMem sits at 0x54 of the services table");
constexpr uint32_t kDescriptorSize = 12;  // EFI_PEI_PPI_DESCRIPTOR / EFI_PEI_NOTIFY_DESCRIPTOR

}  // namespace

template <class Detail>
size_t PeiFoundation::service(const char* name, TrapFrame& f, uint32_t status, Detail&& detail) {
  return log_.call(false, f.trap_address(), status, f.return_address(), [&] {
    const std::string d = detail();
    return std::string(name) + (d.empty() ? "" : " (" + d + ")");
  });
}

size_t PeiFoundation::service(const char* name, TrapFrame& f, uint32_t status) {
  return service(name, f, status, [] { return std::string(); });
}

PeiFoundation::PeiFoundation(Machine& machine, RunLog& log, FoundationMemory memory, GuestCall call,
                             FoundationFaults faults)
    : machine_(machine), log_(log), memory_(memory), call_(std::move(call)), faults_(faults) {
  std::vector<uint8_t> table(kHeaderSize + 4 * kSlotCount, 0);
  put64(table, 0, 0x5652455320494550ull);  // "PEI SERV"
  put32(table, 8, 0x00010046);             // revision 1.70
  put32(table, 12, static_cast<uint32_t>(table.size()));
  auto slot = [&](Slot s, uint32_t address) { put32(table, kHeaderSize + 4 * s, address); };
  for (uint32_t s = 0; s < kSlotCount; ++s) {
    if (s == kCpuIo || s == kPciCfg) continue;  // PPI pointers the module never follows
    slot(static_cast<Slot>(s), not_provided(kSlotNames[s], false));
  }
  // The services the module relies on replace the default traps above.
  // The three PPI services can run notify callbacks inside them: the call is logged before it, so
  // the trace shows the callbacks' own calls after the call that triggered them.
  slot(kInstallPpi, machine_.add_trap("InstallPpi", [this](TrapFrame& f) {
    const size_t record = service("InstallPpi", f, 0);
    const uint32_t status = install_ppi(f.arg(1));
    log_.set_status(record, status);
    f.set_result(status);
  }));
  slot(kReInstallPpi, machine_.add_trap("ReInstallPpi", [this](TrapFrame& f) {
    const size_t record = service(
        "ReInstallPpi", f, 0, [&] { return "old " + hex(f.arg(1)) + ", new " + hex(f.arg(2)); });
    const uint32_t status = reinstall_ppi(f.arg(1), f.arg(2));
    log_.set_status(record, status);
    f.set_result(status);
  }));
  slot(kLocatePpi, machine_.add_trap("LocatePpi", [this](TrapFrame& f) {
    const uint32_t status = locate_ppi(f.arg(1), f.arg(2), f.arg(3), f.arg(4));
    service("LocatePpi", f, status, [&] {
      return guid_text(read_guid(f.arg(1))) + " instance " + std::to_string(f.arg(2));
    });
    f.set_result(status);
  }));
  slot(kNotifyPpi, machine_.add_trap("NotifyPpi", [this](TrapFrame& f) {
    const size_t record = service("NotifyPpi", f, 0);
    const uint32_t status = notify_ppi(f.arg(1));
    log_.set_status(record, status);
    f.set_result(status);
  }));
  slot(kGetHobList, machine_.add_trap("GetHobList", [this](TrapFrame& f) {
    if (f.arg(1) != 0) machine_.guest_write32(f.arg(1), answers_.hob_list.value_or(hob_list_));
    const uint32_t status = f.arg(1) ? efi::kSuccess : efi::kInvalidParameter;
    service("GetHobList", f, status);
    f.set_result(status);
  }));
  slot(kAllocatePool, machine_.add_trap("AllocatePool", [this](TrapFrame& f) {
    const uint32_t status = allocate_pool(f.arg(1), f.arg(2));
    service("AllocatePool", f, status, [&] { return std::to_string(f.arg(1)) + " bytes"; });
    f.set_result(status);
  }));
  slot(kSetMem, machine_.add_trap("SetMem", [this](TrapFrame& f) {
    // SetMem takes no services pointer: (Buffer, Size, Value). The whole buffer must be
    // memory the guest may write before a byte of it is touched.
    const uint32_t buffer = f.arg(0), size = f.arg(1);
    machine_.check_guest(buffer, size, kWrite);
    machine_.write(buffer, std::vector<uint8_t>(size, static_cast<uint8_t>(f.arg(2))));
    service("SetMem", f, 0, [&] {
      return hex(buffer) + ", " + std::to_string(size) + " bytes of " + hex(f.arg(2) & 0xFF);
    });
  }));
  services_table_ = memory_.tables.place(table, 8, "PEI services table");
  std::vector<uint8_t> pointer(4);
  put32(pointer, 0, services_table_);
  services_pointer_ = memory_.tables.place(pointer, 4, "PEI services pointer");
}

uint32_t PeiFoundation::not_provided(std::string name, bool ppi, uint64_t result) {
  return machine_.add_trap(name, [this, name, ppi, result](TrapFrame& f) {
    log_.call(ppi, f.trap_address(), efi::kUnsupported, f.return_address(),
              [&] { return name + " (not provided by this board)"; });
    f.set_result64(result);
  });
}

Guid PeiFoundation::read_guid(uint32_t address) const {
  Guid g{};
  if (address != 0) machine_.guest_read(address, g);
  return g;
}

uint32_t PeiFoundation::install(uint32_t list) { return install_ppi(list); }

std::optional<std::pair<uint32_t, uint32_t>> PeiFoundation::locate(const Guid& guid) const {
  for (const auto& p : ppis_) {
    if (p.guid == guid) return std::pair{p.descriptor, p.interface};
  }
  return std::nullopt;
}

template <class Record>
std::optional<std::vector<Record>> PeiFoundation::read_list(uint32_t list, uint32_t flag) const {
  std::vector<Record> records;
  for (uint32_t d = list; records.size() < kMaxDescriptors; d += kDescriptorSize) {
    const uint32_t flags = machine_.guest_read32(d);
    if (!(flags & flag)) return std::nullopt;
    records.push_back(
        {d, read_guid(machine_.guest_read32(d + 4)), machine_.guest_read32(d + 8), flags});
    if (flags & efi::kPpiFlagTerminate) return records;
  }
  return std::nullopt;
}

uint32_t PeiFoundation::install_ppi(uint32_t list) {
  if (list == 0) return efi::kInvalidParameter;
  const auto added = read_list<Installed>(list, efi::kPpiFlagPpi);
  if (!added) return efi::kInvalidParameter;
  for (const auto& p : *added) {
    ppis_.push_back(p);
    if (!run_notifies(p, NotifyTrigger::kInstallPpi)) break;
  }
  return efi::kSuccess;
}

uint32_t PeiFoundation::reinstall_ppi(uint32_t old_descriptor, uint32_t new_descriptor) {
  if (faults_.reinstall_status) return *faults_.reinstall_status;
  if (old_descriptor == 0 || new_descriptor == 0) return efi::kInvalidParameter;
  if (!(machine_.guest_read32(new_descriptor) & efi::kPpiFlagPpi)) return efi::kInvalidParameter;
  auto it = std::find_if(ppis_.begin(), ppis_.end(),
                         [&](const Installed& p) { return p.descriptor == old_descriptor; });
  if (it == ppis_.end()) return efi::kNotFound;
  *it = {new_descriptor, read_guid(machine_.guest_read32(new_descriptor + 4)),
         machine_.guest_read32(new_descriptor + 8), machine_.guest_read32(new_descriptor)};
  const Installed copy = *it;
  run_notifies(copy, NotifyTrigger::kReInstallPpi);
  return efi::kSuccess;
}

uint32_t PeiFoundation::locate_ppi(uint32_t guid, uint32_t instance, uint32_t descriptor_out,
                                   uint32_t interface_out) {
  if (faults_.locate_status) return *faults_.locate_status;
  if (guid == 0 || interface_out == 0) return efi::kInvalidParameter;
  const Guid wanted = read_guid(guid);
  for (const auto& a : answers_.locate) {
    if (a.guid != wanted) continue;
    if (a.descriptor && descriptor_out != 0) machine_.guest_write32(descriptor_out, *a.descriptor);
    if (a.interface) machine_.guest_write32(interface_out, *a.interface);
    return a.status;
  }
  uint32_t seen = 0;
  for (const auto& p : ppis_) {
    if (p.guid != wanted || seen++ != instance) continue;
    if (descriptor_out != 0) machine_.guest_write32(descriptor_out, p.descriptor);
    machine_.guest_write32(interface_out, p.interface);
    return efi::kSuccess;
  }
  return efi::kNotFound;
}

uint32_t PeiFoundation::notify_ppi(uint32_t list) {
  if (faults_.notify_status) return *faults_.notify_status;
  if (list == 0) return efi::kInvalidParameter;
  // Every entry must name a notify kind, or none of the list is registered.
  const auto added = read_list<Notify>(list, efi::kPpiFlagNotifyTypes);
  if (!added) return efi::kInvalidParameter;
  notifies_.insert(notifies_.end(), added->begin(), added->end());
  // A PPI installed before its notify was registered: a callback runs now, before NotifyPpi
  // returns; a dispatch notify runs when the registering module returns to the dispatcher.
  // The routines may change the database: walk it as it was.
  const std::vector<Installed> installed = ppis_;
  for (const auto& n : *added) {
    for (const auto& p : installed) {
      if (p.guid != n.guid) continue;
      if (!n.callback()) {
        pending_.push_back({n, p.interface});
      } else if (!run_notify(n, p.interface, NotifyTrigger::kNotifyPpi)) {
        return efi::kSuccess;  // the run stopped inside the callback
      }
    }
  }
  return efi::kSuccess;
}

const char* trigger_name(NotifyTrigger trigger) {
  switch (trigger) {
    case NotifyTrigger::kInstallPpi:
      return "InstallPpi";
    case NotifyTrigger::kReInstallPpi:
      return "ReInstallPpi";
    case NotifyTrigger::kNotifyPpi:
      return "NotifyPpi";
    case NotifyTrigger::kDispatch:
      return "dispatch";
  }
  return "?";
}

bool PeiFoundation::run_notifies(const Installed& ppi, NotifyTrigger trigger) {
  // A callback may install, reinstall or register in turn: walk a snapshot.
  const std::vector<Notify> snapshot = notifies_;
  for (const auto& n : snapshot) {
    if (n.guid != ppi.guid) continue;
    if (!n.callback()) {
      pending_.push_back({n, ppi.interface});
    } else if (!run_notify(n, ppi.interface, trigger)) {
      return false;
    }
  }
  return true;
}

bool PeiFoundation::run_notify(const Notify& n, uint32_t interface, NotifyTrigger trigger) {
  // What a callback run at its registration does is logged one "/notify" deeper.
  const bool registered = trigger == NotifyTrigger::kNotifyPpi;
  if (registered) ++log_.notify_nesting;
  const size_t run = notify_runs.size();
  if (run < kMaxNotifyRuns) {
    notify_runs.push_back(
        {trigger, log_.phase, log_.notify_nesting, notify_depth_ + 1, n.routine, n.guid, {}});
  }
  ++notify_depth_;
  const auto status = call_(n.routine, {services_pointer_, n.descriptor, interface});
  --notify_depth_;
  if (registered) --log_.notify_nesting;
  if (!status) return false;  // the run stopped inside the routine
  if (run < notify_runs.size()) notify_runs[run].status = *status;
  notify_statuses.push_back(*status);
  return true;
}

bool PeiFoundation::return_to_dispatcher() {
  // Routines run here may install PPIs with dispatch notifies of their own: those run after,
  // round by round, as long as a round brings new ones (a bounded number of rounds).
  for (uint32_t round = 0; !pending_.empty() && round < kMaxDescriptors; ++round) {
    const std::vector<Pending> due = std::exchange(pending_, {});
    for (const auto& p : due) {
      if (!run_notify(p.notify, p.interface, NotifyTrigger::kDispatch)) {
        pending_.clear();
        return false;
      }
    }
  }
  pending_.clear();
  return true;
}

uint32_t PeiFoundation::allocate_pool(uint32_t size, uint32_t buffer_out) {
  if (buffer_out == 0) return efi::kInvalidParameter;
  machine_.check_guest(buffer_out, 4, kWrite);
  if (answers_.pool) {
    machine_.guest_write32(buffer_out, *answers_.pool);
    return efi::kSuccess;
  }
  const auto at = memory_.pool.allocate(size, 8);
  if (!at) return efi::kOutOfResources;
  machine_.guest_write32(buffer_out, *at);
  return efi::kSuccess;
}

void PeiFoundation::start_hobs() {
  if (!hobs_.empty()) return;
  // The handoff information table HOB opens every list the foundation builds.
  hobs_.assign(hob::kHandoffSize, 0);
  put16(hobs_, 0, 0x0001);
  put16(hobs_, 2, hob::kHandoffSize);
  hobs_[8] = 9;  // version
}

void PeiFoundation::add_guid_hob(const Guid& name, std::span<const uint8_t> data,
                                 std::optional<uint16_t> type, std::optional<uint16_t> length) {
  start_hobs();
  const size_t size = hob::kGuidHeaderSize + ((data.size() + 7) & ~size_t{7});
  if (size > hob::kMaxLength) throw std::invalid_argument("GUID HOB data too long");
  const size_t at = hobs_.size();
  hobs_.resize(at + size, 0);
  put16(hobs_, at, type.value_or(0x0004));
  put16(hobs_, at + 2, length.value_or(static_cast<uint16_t>(size)));
  std::copy(name.begin(), name.end(), hobs_.begin() + static_cast<long>(at + 8));
  std::copy(data.begin(), data.end(), hobs_.begin() + static_cast<long>(at + hob::kGuidHeaderSize));
}

void PeiFoundation::finish_hobs(bool end) {
  start_hobs();
  if (end) {
    const size_t at = hobs_.size();
    hobs_.resize(at + hob::kEndSize, 0);
    put16(hobs_, at, 0xFFFF);
    put16(hobs_, at + 2, hob::kEndSize);
  }
  hob_list_ = memory_.hobs.place(hobs_, 8, "HOB list");
}

}  // namespace peiboard
