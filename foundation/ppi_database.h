// The PPI database: which PPIs are installed (descriptor, GUID, interface), which notify
// routines are registered, and the dispatch-kind notifies waiting for the module to return to
// the dispatcher. It carries out InstallPpi, ReInstallPpi, LocatePpi and NotifyPpi on the
// guest's descriptor lists, runs the notify routines those bring about (through the board's
// guest call), and records each run and its status for the report.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "efi_codes.h"
#include "guid.h"
#include "log.h"
#include "machine.h"
#include "scenario.h"

namespace peiboard {

// Why the foundation ran a notify routine.
enum class NotifyTrigger : uint8_t {
  kInstallPpi,    // callback kind: its PPI was installed
  kReInstallPpi,  // callback kind: its PPI was re-installed
  kNotifyPpi,     // callback kind: registered while its PPI was installed already
  kDispatch,      // dispatch kind: the module that installed its PPI returned to the dispatcher
};
const char* trigger_name(NotifyTrigger trigger);  // "InstallPpi", ..., "dispatch"

// One notify routine the foundation ran.
struct NotifyRun {
  NotifyTrigger trigger = NotifyTrigger::kInstallPpi;
  Phase phase = Phase::kCall;  // what the routine's own output is logged under
  uint8_t notify_nesting = 0;  // with `phase`, its label (phase_label())
  unsigned depth = 1;          // 1: run for a boot step; 2: inside a routine of depth 1; ...
  uint32_t routine = 0;
  Guid guid{};
  std::optional<uint32_t> status;  // none: the run stopped inside it
};

// Statuses a test or scenario forces on the PPI services instead of their real work.
struct PpiServiceOverrides {
  std::optional<uint32_t> notify_status;     // NotifyPpi answers this instead of registering
  std::optional<uint32_t> reinstall_status;  // ReInstallPpi answers this and changes nothing
  std::optional<uint32_t> locate_status;     // LocatePpi answers this for every GUID
};

class PpiDatabase {
 public:
  // Calls a guest routine (a notify callback) and returns its EAX, or nothing if the run
  // stopped abnormally inside it.
  using GuestCall = std::function<std::optional<uint32_t>(uint32_t, std::vector<uint32_t>)>;

  // A PPI list longer than this has lost its terminator: the call fails.
  static constexpr uint32_t kMaxDescriptors = 1024;
  // Each notify routine run is recorded, in the order they started, up to this many.
  static constexpr size_t kMaxNotifyRuns = 1024;

  PpiDatabase(Machine& machine, RunLog& log, GuestCall call, PpiServiceOverrides overrides);

  // Notify routines receive the services pointer as their first argument.
  void set_services_pointer(uint32_t services_pointer) { services_pointer_ = services_pointer; }
  // LocatePpi's scenario answers (the first naming a GUID wins over the database).
  void answer_locate_with(std::vector<LocateAnswer> answers) { answers_ = std::move(answers); }

  // The services, on guest addresses; each gives the EFI status it returns.
  uint32_t install(uint32_t descriptor_list);
  uint32_t reinstall(uint32_t old_descriptor, uint32_t new_descriptor);
  uint32_t locate(uint32_t guid, uint32_t instance, uint32_t descriptor_out,
                  uint32_t interface_out);
  uint32_t notify(uint32_t notify_list);

  // The first installed instance of a GUID: descriptor and interface addresses.
  std::optional<std::pair<uint32_t, uint32_t>> find(const Guid& guid) const;
  // The module that just ran has returned to the dispatcher: the dispatch-kind notifies run
  // (see PeiFoundation::return_to_dispatcher). False when the run stopped in one.
  bool return_to_dispatcher();

  Guid read_guid(uint32_t address) const;  // all zeros for a null address

  const std::vector<uint32_t>& notify_statuses() const { return notify_statuses_; }
  const std::vector<NotifyRun>& notify_runs() const { return notify_runs_; }

 private:
  struct Installed {
    uint32_t descriptor;
    Guid guid;
    uint32_t interface;
    uint32_t flags = 0;
  };
  struct Notify {
    uint32_t descriptor;
    Guid guid;
    uint32_t routine;
    uint32_t flags = 0;
    bool callback() const { return (flags & efi::kPpiFlagNotifyCallback) != 0; }
  };
  struct Pending {  // a dispatch-kind notify waiting for the dispatcher
    Notify notify;
    uint32_t interface;
  };
  // The descriptors of a guest list up to its terminator, each with `flag` set; nothing
  // when one lacks the flag or the list runs past kMaxDescriptors.
  template <class Record>
  std::optional<std::vector<Record>> read_list(uint32_t list, uint32_t flag) const;
  // The notifies on a PPI just installed or re-installed: callbacks now, dispatch ones queued.
  bool run_notifies(const Installed& ppi, NotifyTrigger trigger);
  // Runs one notify routine; false when the run stopped inside it.
  bool run_notify(const Notify& notify, uint32_t interface, NotifyTrigger trigger);

  Machine& machine_;
  RunLog& log_;
  GuestCall call_;
  PpiServiceOverrides overrides_;
  std::vector<LocateAnswer> answers_;
  uint32_t services_pointer_ = 0;
  std::vector<Installed> ppis_;
  std::vector<Notify> notifies_;
  std::vector<Pending> pending_;
  unsigned notify_depth_ = 0;
  std::vector<uint32_t> notify_statuses_;  // what each notify callback returned, in order
  std::vector<NotifyRun> notify_runs_;
};

}  // namespace peiboard
