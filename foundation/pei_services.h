// The PEI services table: its header and 28 slots in guest memory, a trap behind every slot,
// and the host routines behind the services the module relies on (the PPI services, which
// hand over to the PPI database, GetHobList, AllocatePool and SetMem). Every other slot answers
// Unsupported and is logged as not provided by this board. Each call is logged as a service
// call in the run's trace.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "guest_arena.h"
#include "log.h"
#include "machine.h"
#include "ppi_database.h"

namespace peiboard {

// A trap for a routine this board does not provide: it records the call as "NAME (not provided
// by this board)" with status Unsupported, as a PPI call when `ppi` and a service call
// otherwise, and returns `result` (EDX:EAX). Gives the trap's address.
uint32_t add_unprovided_trap(Machine& machine, RunLog& log, std::string name, bool ppi,
                             uint64_t result);

class PeiServices {
 public:
  // Bytes of the table header before the first slot.
  static constexpr uint32_t kHeaderSize = 24;

  // Places the table and the services pointer in `tables`; the PPI services work on `ppis`,
  // AllocatePool hands out `pool`.
  PeiServices(Machine& machine, RunLog& log, PpiDatabase& ppis, GuestArena& tables,
              GuestArena& pool);
  PeiServices(const PeiServices&) = delete;
  PeiServices& operator=(const PeiServices&) = delete;

  uint32_t table() const { return table_; }
  uint32_t pointer() const { return pointer_; }  // EFI_PEI_SERVICES **

  // What GetHobList hands out, unless a scenario's answer replaces it.
  void set_hob_list(uint32_t hob_list) { hob_list_ = hob_list; }
  // Answers that break the services' contracts: GetHobList's list, AllocatePool's buffer.
  void answer_with(std::optional<uint32_t> hob_list, std::optional<uint32_t> pool) {
    hob_list_answer_ = hob_list;
    pool_answer_ = pool;
  }

 private:
  using Handler = void (PeiServices::*)(TrapFrame&);
  struct ProvidedService;
  static const ProvidedService kProvided[];

  // Logs a service call; gives its index in the trace. `detail` gives the arguments worth
  // showing and is called only when the log keeps a trace.
  template <class Detail>
  size_t record(const char* name, TrapFrame& frame, uint32_t status, Detail&& detail);
  size_t record(const char* name, TrapFrame& frame, uint32_t status);

  void install_ppi(TrapFrame& frame);
  void reinstall_ppi(TrapFrame& frame);
  void locate_ppi(TrapFrame& frame);
  void notify_ppi(TrapFrame& frame);
  void get_hob_list(TrapFrame& frame);
  void allocate_pool(TrapFrame& frame);
  void set_mem(TrapFrame& frame);
  uint32_t allocate_from_pool(uint32_t size, uint32_t buffer_out);

  Machine& machine_;
  RunLog& log_;
  PpiDatabase& ppis_;
  GuestArena& pool_;
  uint32_t table_ = 0;
  uint32_t pointer_ = 0;
  uint32_t hob_list_ = 0;
  std::optional<uint32_t> hob_list_answer_;
  std::optional<uint32_t> pool_answer_;
};

}  // namespace peiboard
