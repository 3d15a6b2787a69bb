#include "ppi_database.h"

#include <algorithm>
#include <utility>

namespace peiboard {
namespace {

constexpr uint32_t kDescriptorSize = 12;  // EFI_PEI_PPI_DESCRIPTOR / EFI_PEI_NOTIFY_DESCRIPTOR

}  // namespace

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

PpiDatabase::PpiDatabase(Machine& machine, RunLog& log, GuestCall call,
                         PpiServiceOverrides overrides)
    : machine_(machine), log_(log), call_(std::move(call)), overrides_(overrides) {}

Guid PpiDatabase::read_guid(uint32_t address) const {
  Guid g{};
  if (address != 0) machine_.guest_read(address, g);
  return g;
}

std::optional<std::pair<uint32_t, uint32_t>> PpiDatabase::find(const Guid& guid) const {
  for (const auto& p : ppis_) {
    if (p.guid == guid) return std::pair{p.descriptor, p.interface};
  }
  return std::nullopt;
}

template <class Record>
std::optional<std::vector<Record>> PpiDatabase::read_list(uint32_t list, uint32_t flag) const {
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

uint32_t PpiDatabase::install(uint32_t list) {
  if (list == 0) return efi::kInvalidParameter;
  const auto added = read_list<Installed>(list, efi::kPpiFlagPpi);
  if (!added) return efi::kInvalidParameter;
  for (const auto& p : *added) {
    ppis_.push_back(p);
    if (!run_notifies(p, NotifyTrigger::kInstallPpi)) break;
  }
  return efi::kSuccess;
}

uint32_t PpiDatabase::reinstall(uint32_t old_descriptor, uint32_t new_descriptor) {
  if (overrides_.reinstall_status) return *overrides_.reinstall_status;
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

uint32_t PpiDatabase::locate(uint32_t guid, uint32_t instance, uint32_t descriptor_out,
                             uint32_t interface_out) {
  if (overrides_.locate_status) return *overrides_.locate_status;
  if (guid == 0 || interface_out == 0) return efi::kInvalidParameter;
  const Guid wanted = read_guid(guid);
  for (const auto& a : answers_) {
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

uint32_t PpiDatabase::notify(uint32_t list) {
  if (overrides_.notify_status) return *overrides_.notify_status;
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

bool PpiDatabase::run_notifies(const Installed& ppi, NotifyTrigger trigger) {
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

bool PpiDatabase::run_notify(const Notify& n, uint32_t interface, NotifyTrigger trigger) {
  // What a callback run at its registration does is logged one "/notify" deeper.
  const bool registered = trigger == NotifyTrigger::kNotifyPpi;
  if (registered) ++log_.notify_nesting;
  const size_t run = notify_runs_.size();
  if (run < kMaxNotifyRuns) {
    notify_runs_.push_back(
        {trigger, log_.phase, log_.notify_nesting, notify_depth_ + 1, n.routine, n.guid, {}});
  }
  ++notify_depth_;
  const auto status = call_(n.routine, {services_pointer_, n.descriptor, interface});
  --notify_depth_;
  if (registered) --log_.notify_nesting;
  if (!status) return false;  // the run stopped inside the routine
  if (run < notify_runs_.size()) notify_runs_[run].status = *status;
  notify_statuses_.push_back(*status);
  return true;
}

bool PpiDatabase::return_to_dispatcher() {
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

}  // namespace peiboard
