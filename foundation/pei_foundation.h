// The PEI foundation the module is dispatched by, put together from its parts: the services
// table (pei_services.h), the PPI database with its notifications (ppi_database.h) and the HOB
// list (hob_builder.h), all living in guest RAM, plus the pool AllocatePool hands out. This is
// the face the board and the stand-in PPIs use; each part owns its own state.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "efi_codes.h"
#include "guest_arena.h"
#include "guid.h"
#include "hob_builder.h"
#include "log.h"
#include "machine.h"
#include "pei_services.h"
#include "ppi_database.h"
#include "scenario.h"

namespace peiboard {

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

class PeiFoundation {
 public:
  using GuestCall = PpiDatabase::GuestCall;

  // A PPI list longer than this has lost its terminator: the call fails.
  static constexpr uint32_t kMaxDescriptors = PpiDatabase::kMaxDescriptors;
  // Each notify routine run is recorded, in the order they started, up to this many.
  static constexpr size_t kMaxNotifyRuns = PpiDatabase::kMaxNotifyRuns;

  PeiFoundation(Machine& machine, RunLog& log, FoundationMemory memory, GuestCall call,
                FoundationFaults faults);
  PeiFoundation(const PeiFoundation&) = delete;
  PeiFoundation& operator=(const PeiFoundation&) = delete;

  uint32_t services_pointer() const { return services_.pointer(); }  // EFI_PEI_SERVICES **
  uint32_t services_table() const { return services_.table(); }

  // Host-side installation by the stand-in modules; notifications run as on real PEI.
  uint32_t install(uint32_t descriptor_list) { return ppis_.install(descriptor_list); }
  // The module that just ran has returned to the dispatcher: the dispatch-kind notifies of the
  // PPIs installed (or re-installed, or registered for while installed) since run now, in that
  // order, and then those their routines brought about. False when the run stopped in one.
  bool return_to_dispatcher() { return ppis_.return_to_dispatcher(); }
  // The first installed instance of a GUID: descriptor and interface addresses.
  std::optional<std::pair<uint32_t, uint32_t>> locate(const Guid& guid) const {
    return ppis_.find(guid);
  }

  // The HOB list. Build with add_guid_hob() then finish_hobs(). `type` and `length`, when
  // given, are written into the HOB's header in place of 0x0004 and its true length; without
  // `end` the list stops with no end-of-list HOB.
  void add_guid_hob(const Guid& name, std::span<const uint8_t> data,
                    std::optional<uint16_t> type = {}, std::optional<uint16_t> length = {}) {
    hobs_.add_guid_hob(name, data, type, length);
  }
  void finish_hobs(bool end = true);
  // Service answers that break their contracts (a scenario's [foundation]); set before the
  // module runs.
  void answer_with(const FoundationConfig& answers);
  uint32_t hob_list() const { return hob_list_; }

  // A trap for a routine this board does not provide: it records the call as "NAME (not
  // provided by this board)" with status Unsupported and returns `result` (EDX:EAX).
  uint32_t not_provided(std::string name, bool ppi, uint64_t result = efi::kUnsupported) {
    return add_unprovided_trap(machine_, log_, std::move(name), ppi, result);
  }
  // Records a PPI routine's call in the trace; `what` gives its description and is called
  // only when the log keeps a trace.
  template <class What>
  size_t record_ppi(TrapFrame& frame, What&& what, uint32_t status) {
    return log_.call(true, frame.trap_address(), status, frame.return_address(),
                     std::forward<What>(what));
  }

  // What each notify callback returned, in order.
  const std::vector<uint32_t>& notify_statuses() const { return ppis_.notify_statuses(); }
  // Each notify routine run, in the order they started (the first kMaxNotifyRuns).
  const std::vector<NotifyRun>& notify_runs() const { return ppis_.notify_runs(); }
  uint32_t pool_used() const { return memory_.pool.used(); }

 private:
  Machine& machine_;
  RunLog& log_;
  FoundationMemory memory_;
  PpiDatabase ppis_;
  PeiServices services_;
  HobBuilder hobs_;
  uint32_t hob_list_ = 0;
};

}  // namespace peiboard
