#include "pei_foundation.h"

namespace peiboard {

PeiFoundation::PeiFoundation(Machine& machine, RunLog& log, FoundationMemory memory, GuestCall call,
                             FoundationFaults faults)
    : machine_(machine),
      log_(log),
      memory_(memory),
      ppis_(
          machine, log, std::move(call),
          PpiServiceOverrides{faults.notify_status, faults.reinstall_status, faults.locate_status}),
      services_(machine, log, ppis_, memory.tables, memory.pool) {
  ppis_.set_services_pointer(services_.pointer());
}

void PeiFoundation::finish_hobs(bool end) {
  hob_list_ = hobs_.place(memory_.hobs, end);
  services_.set_hob_list(hob_list_);
}

void PeiFoundation::answer_with(const FoundationConfig& answers) {
  services_.answer_with(answers.hob_list, answers.pool);
  ppis_.answer_locate_with(answers.locate);
}

}  // namespace peiboard
