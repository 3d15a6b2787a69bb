#include "pei_services.h"

#include <utility>
#include <vector>

#include "bytes.h"
#include "efi_codes.h"
#include "format.h"

namespace peiboard {
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
static_assert(PeiServices::kHeaderSize + 4 * kSetMem == 0x54,
              "SetMem sits at 0x54 of the services table");

// CpuIo and PciCfg hold PPI pointers the module never follows: they stay null.
constexpr bool holds_pointer(uint32_t slot) { return slot == kCpuIo || slot == kPciCfg; }

}  // namespace

// A slot with a host routine of its own; every other slot is a not-provided trap.
struct PeiServices::ProvidedService {
  Slot slot;
  Handler handler;
};

// In the order their traps are added: trap addresses follow it.
const PeiServices::ProvidedService PeiServices::kProvided[] = {
    {kInstallPpi, &PeiServices::install_ppi},  {kReInstallPpi, &PeiServices::reinstall_ppi},
    {kLocatePpi, &PeiServices::locate_ppi},    {kNotifyPpi, &PeiServices::notify_ppi},
    {kGetHobList, &PeiServices::get_hob_list}, {kAllocatePool, &PeiServices::allocate_pool},
    {kSetMem, &PeiServices::set_mem},
};

uint32_t add_unprovided_trap(Machine& machine, RunLog& log, std::string name, bool ppi,
                             uint64_t result) {
  return machine.add_trap(name, [&log, name, ppi, result](TrapFrame& f) {
    log.call(ppi, f.trap_address(), efi::kUnsupported, f.return_address(),
             [&] { return name + " (not provided by this board)"; });
    f.set_result64(result);
  });
}

PeiServices::PeiServices(Machine& machine, RunLog& log, PpiDatabase& ppis, GuestArena& tables,
                         GuestArena& pool)
    : machine_(machine), log_(log), ppis_(ppis), pool_(pool) {
  std::vector<uint8_t> table(kHeaderSize + 4 * kSlotCount, 0);
  put64(table, 0, 0x5652455320494550ull);  // "PEI SERV"
  put32(table, 8, 0x00010046);             // revision 1.70
  put32(table, 12, static_cast<uint32_t>(table.size()));
  auto set_slot = [&](uint32_t slot, uint32_t address) {
    put32(table, kHeaderSize + 4 * slot, address);
  };
  for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
    if (holds_pointer(slot)) continue;
    set_slot(slot, add_unprovided_trap(machine_, log_, kSlotNames[slot], false, efi::kUnsupported));
  }
  // The services the module relies on replace the default traps above.
  for (const ProvidedService& service : kProvided) {
    set_slot(service.slot, machine_.add_trap(kSlotNames[service.slot],
                                             [this, handler = service.handler](TrapFrame& f) {
                                               (this->*handler)(f);
                                             }));
  }
  table_ = tables.place(table, 8, "PEI services table");
  std::vector<uint8_t> pointer(4);
  put32(pointer, 0, table_);
  pointer_ = tables.place(pointer, 4, "PEI services pointer");
}

template <class Detail>
size_t PeiServices::record(const char* name, TrapFrame& f, uint32_t status, Detail&& detail) {
  return log_.call(false, f.trap_address(), status, f.return_address(), [&] {
    const std::string d = detail();
    return std::string(name) + (d.empty() ? "" : " (" + d + ")");
  });
}

size_t PeiServices::record(const char* name, TrapFrame& f, uint32_t status) {
  return record(name, f, status, [] { return std::string(); });
}

// The three PPI services can run notify callbacks inside them: the call is logged before it, so
// the trace shows the callbacks' own calls after the call that triggered them.

void PeiServices::install_ppi(TrapFrame& f) {
  const size_t call = record("InstallPpi", f, 0);
  const uint32_t status = ppis_.install(f.arg(1));
  log_.set_status(call, status);
  f.set_result(status);
}

void PeiServices::reinstall_ppi(TrapFrame& f) {
  const size_t call = record("ReInstallPpi", f, 0,
                             [&] { return "old " + hex(f.arg(1)) + ", new " + hex(f.arg(2)); });
  const uint32_t status = ppis_.reinstall(f.arg(1), f.arg(2));
  log_.set_status(call, status);
  f.set_result(status);
}

void PeiServices::locate_ppi(TrapFrame& f) {
  const uint32_t status = ppis_.locate(f.arg(1), f.arg(2), f.arg(3), f.arg(4));
  record("LocatePpi", f, status, [&] {
    return guid_text(ppis_.read_guid(f.arg(1))) + " instance " + std::to_string(f.arg(2));
  });
  f.set_result(status);
}

void PeiServices::notify_ppi(TrapFrame& f) {
  const size_t call = record("NotifyPpi", f, 0);
  const uint32_t status = ppis_.notify(f.arg(1));
  log_.set_status(call, status);
  f.set_result(status);
}

void PeiServices::get_hob_list(TrapFrame& f) {
  if (f.arg(1) != 0) machine_.guest_write32(f.arg(1), hob_list_answer_.value_or(hob_list_));
  const uint32_t status = f.arg(1) ? efi::kSuccess : efi::kInvalidParameter;
  record("GetHobList", f, status);
  f.set_result(status);
}

void PeiServices::allocate_pool(TrapFrame& f) {
  const uint32_t status = allocate_from_pool(f.arg(1), f.arg(2));
  record("AllocatePool", f, status, [&] { return std::to_string(f.arg(1)) + " bytes"; });
  f.set_result(status);
}

uint32_t PeiServices::allocate_from_pool(uint32_t size, uint32_t buffer_out) {
  if (buffer_out == 0) return efi::kInvalidParameter;
  machine_.check_guest(buffer_out, 4, kWrite);
  if (pool_answer_) {
    machine_.guest_write32(buffer_out, *pool_answer_);
    return efi::kSuccess;
  }
  const auto at = pool_.allocate(size, 8);
  if (!at) return efi::kOutOfResources;
  machine_.guest_write32(buffer_out, *at);
  return efi::kSuccess;
}

void PeiServices::set_mem(TrapFrame& f) {
  // SetMem takes no services pointer: (Buffer, Size, Value). The whole buffer must be
  // memory the guest may write before a byte of it is touched.
  const uint32_t buffer = f.arg(0), size = f.arg(1);
  machine_.check_guest(buffer, size, kWrite);
  machine_.write(buffer, std::vector<uint8_t>(size, static_cast<uint8_t>(f.arg(2))));
  record("SetMem", f, 0, [&] {
    return hex(buffer) + ", " + std::to_string(size) + " bytes of " + hex(f.arg(2) & 0xFF);
  });
}

}  // namespace peiboard
