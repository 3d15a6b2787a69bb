// The PEI foundation the module is dispatched by: the services table, the PPI database
// with its notifications, the HOB list and the pool, all living in guest RAM.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "guid.h"
#include "log.h"
#include "machine.h"
#include "scenario.h"

namespace peiboard {

namespace efi {
inline constexpr uint32_t kSuccess = 0;
inline constexpr uint32_t kInvalidParameter = 0x80000002;
inline constexpr uint32_t kUnsupported = 0x80000003;
inline constexpr uint32_t kNotReady = 0x80000006;
inline constexpr uint32_t kDeviceError = 0x80000007;
inline constexpr uint32_t kOutOfResources = 0x80000009;
inline constexpr uint32_t kNotFound = 0x8000000E;
inline constexpr uint32_t kPpiFlagPpi = 0x00000010;
inline constexpr uint32_t kPpiFlagNotifyCallback = 0x00000020;
inline constexpr uint32_t kPpiFlagNotifyDispatch = 0x00000040;
inline constexpr uint32_t kPpiFlagNotifyTypes = kPpiFlagNotifyCallback | kPpiFlagNotifyDispatch;
inline constexpr uint32_t kPpiFlagTerminate = 0x80000000;
}  // namespace efi

// A bump allocator over a range of guest RAM. It never frees; reset() starts it over.
class GuestArena {
 public:
  GuestArena(Machine& machine, uint32_t base, uint32_t size)
      : machine_(machine), base_(base), end_(base + size), next_(base) {}
  // Room for `size` bytes at an `align`-aligned address, or nothing when it is full.
  std::optional<uint32_t> allocate(uint32_t size, uint32_t align = 8);
  // Allocates and copies; `label` names the bytes in fault reports. Running out is a bug
  // of the board (scenarios are checked against the capacity), so it throws.
  uint32_t place(std::span<const uint8_t> bytes, uint32_t align = 8, std::string label = {});
  uint32_t place_string(const std::string& text);
  uint32_t used() const { return next_ - base_; }
  uint32_t base() const { return base_; }
  uint32_t capacity() const { return end_ - base_; }
  void reset() { next_ = base_; }

 private:
  Machine& machine_;
  uint32_t base_, end_, next_;
};

// What a test may break in the foundation to see how the module copes.
struct FoundationFaults {
  std::optional<uint32_t> notify_status;     // NotifyPpi answers this instead of registering
  std::optional<uint32_t> reinstall_status;  // ReInstallPpi answers this and changes nothing
  std::optional<uint32_t> locate_status;     // LocatePpi answers this for every GUID
  uint32_t pool_size = 0x10000;              // bytes AllocatePool can hand out in all

  bool operator==(const FoundationFaults&) const = default;
};

// Where the foundation keeps its things in guest memory.
struct FoundationMemory {
  GuestArena& tables;  // services table, services pointer: read-only to the guest
  GuestArena& hobs;    // the HOB list: read-only to the guest
  GuestArena& pool;    // what AllocatePool hands out
};

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

class PeiFoundation {
 public:
  // Calls a guest routine (a notify callback) and returns its EAX, or nothing if the run
  // stopped abnormally inside it.
  using GuestCall = std::function<std::optional<uint32_t>(uint32_t, std::vector<uint32_t>)>;

  // A PPI list longer than this has lost its terminator: the call fails.
  static constexpr uint32_t kMaxDescriptors = 1024;

  PeiFoundation(Machine& machine, RunLog& log, FoundationMemory memory, GuestCall call,
                FoundationFaults faults);

  uint32_t services_pointer() const { return services_pointer_; }  // EFI_PEI_SERVICES **
  uint32_t services_table() const { return services_table_; }

  // Host-side installation by the stand-in modules; notifications run as on real PEI.
  uint32_t install(uint32_t descriptor_list);
  // The module that just ran has returned to the dispatcher: the dispatch-kind notifies of the
  // PPIs installed (or re-installed, or registered for while installed) since run now, in that
  // order, and then those their routines brought about. False when the run stopped in one.
  bool return_to_dispatcher();
  // The first installed instance of a GUID: descriptor and interface addresses.
  std::optional<std::pair<uint32_t, uint32_t>> locate(const Guid& guid) const;

  // The HOB list. Build with add_guid_hob() then finish_hobs(). `type` and `length`, when
  // given, are written into the HOB's header in place of 0x0004 and its true length; without
  // `end` the list stops with no end-of-list HOB.
  void add_guid_hob(const Guid& name, std::span<const uint8_t> data,
                    std::optional<uint16_t> type = {}, std::optional<uint16_t> length = {});
  void finish_hobs(bool end = true);
  // Service answers that break their contracts (a scenario's [foundation]); set before the
  // module runs.
  void answer_with(FoundationConfig answers) { answers_ = std::move(answers); }
  uint32_t hob_list() const { return hob_list_; }

  // A trap for a routine this board does not provide: it records the call as "NAME (not
  // provided by this board)" with status Unsupported and returns `result` (EDX:EAX).
  uint32_t not_provided(std::string name, bool ppi, uint64_t result = efi::kUnsupported);
  // Records a PPI routine's call in the trace; `what` gives its description and is called
  // only when the log keeps a trace.
  template <class What>
  size_t record_ppi(TrapFrame& frame, What&& what, uint32_t status) {
    return log_.call(true, frame.trap_address(), status, frame.return_address(),
                     std::forward<What>(what));
  }

  std::vector<uint32_t> notify_statuses;  // what each notify callback returned, in order
  // Each notify routine run, in the order they started (the first kMaxNotifyRuns).
  static constexpr size_t kMaxNotifyRuns = 1024;
  std::vector<NotifyRun> notify_runs;
  uint32_t pool_used() const { return memory_.pool.used(); }

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
  Guid read_guid(uint32_t address) const;
  // The descriptors of a guest list up to its terminator, each with `flag` set; nothing
  // when one lacks the flag or the list runs past kMaxDescriptors.
  template <class Record>
  std::optional<std::vector<Record>> read_list(uint32_t list, uint32_t flag) const;
  // The notifies on a PPI just installed or re-installed: callbacks now, dispatch ones queued.
  bool run_notifies(const Installed& ppi, NotifyTrigger trigger);
  // Runs one notify routine; false when the run stopped inside it.
  bool run_notify(const Notify& notify, uint32_t interface, NotifyTrigger trigger);
  // Logs a service call; gives its index in the trace. `detail` gives the arguments worth
  // showing and is called only when the log keeps a trace.
  template <class Detail>
  size_t service(const char* name, TrapFrame& frame, uint32_t status, Detail&& detail);
  size_t service(const char* name, TrapFrame& frame, uint32_t status);
  uint32_t install_ppi(uint32_t list);
  uint32_t reinstall_ppi(uint32_t old_descriptor, uint32_t new_descriptor);
  uint32_t locate_ppi(uint32_t guid, uint32_t instance, uint32_t descriptor_out,
                      uint32_t interface_out);
  uint32_t notify_ppi(uint32_t list);
  uint32_t allocate_pool(uint32_t size, uint32_t buffer_out);
  void start_hobs();

  Machine& machine_;
  RunLog& log_;
  FoundationMemory memory_;
  GuestCall call_;
  FoundationFaults faults_;
  FoundationConfig answers_;
  uint32_t services_table_ = 0;
  uint32_t services_pointer_ = 0;
  std::vector<Installed> ppis_;
  std::vector<Notify> notifies_;
  std::vector<Pending> pending_;
  unsigned notify_depth_ = 0;
  std::vector<uint8_t> hobs_;
  uint32_t hob_list_ = 0;
};

}  // namespace peiboard
