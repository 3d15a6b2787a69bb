// The PPIs other firmware modules would have installed: debug services, PCD, HECI with the
// ME's ICC service behind it, SPI, and the stand-in board module's System Board PPI. Each is a
// declaration (platform.cpp): its GUID, its slots, the host routine behind each slot this board
// provides and what the others answer. PlatformPpis owns a copy of the scenario parts the
// routines answer from, so it never refers back to the scenario it was built from.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ffs.h"
#include "guest_arena.h"
#include "log.h"
#include "machine.h"
#include "pei_foundation.h"
#include "scenario.h"

namespace peiboard {

namespace guids {
inline constexpr Guid kSystemBoard = guid_constant("C8D85E8C-DC1C-4F8C-ADA7-58C1D107A304");
inline constexpr Guid kDebugServices = guid_constant("36232936-0E76-31C8-A13A-3AF2FC1C3932");
inline constexpr Guid kPcd = kPcdPpiGuid;  // the PPI the module's dependency expression names
inline constexpr Guid kPlatformInfoHob = guid_constant("1E2ACC41-E26A-483D-AFC7-A056C34E087B");
inline constexpr Guid kMeFwHob = guid_constant("52885E62-4C4D-9546-2DBA-2A8489EEA8A3");
inline constexpr Guid kHeci = guid_constant("D14319E2-407A-9580-8DE5-51A8FFC6D7D7");
inline constexpr Guid kSpi = guid_constant("FBF26154-4E55-4BDC-AF7B-D918AC443F61");
}  // namespace guids

// One message the module sent over HECI, as the HECI PPI received it.
struct HeciRequest {
  uint32_t heci_device = 0;
  std::array<uint8_t, 48> message{};  // request bytes (the first 48 of the buffer)
  uint32_t length = 0;
  uint32_t reply_room = 0;  // *RecLength on entry
  uint32_t host_address = 0;
  uint32_t me_address = 0;
  std::vector<std::string> problems;  // how the request differs from the ICC clocking query
};

// The parts of a scenario the stand-in PPIs answer from.
struct PlatformPpiConfig {
  DebugConfig debug;
  PcdConfig pcd;
  MeIccConfig me_icc;
  SpiConfig spi;
  std::vector<Guid> other_ppis;  // installed before dispatch, each with an empty interface

  static PlatformPpiConfig of(const Scenario& scenario);
};

class PlatformPpis {
 public:
  static constexpr unsigned kSystemBoardSlots = 22;
  static constexpr unsigned kPtssSlot = 15;

  // Longest format string and %a/%s argument the debug PPI reads, and longest text one
  // print may render; past them the text is cut and marked.
  static constexpr size_t kMaxFormat = 4096;
  static constexpr size_t kMaxPrint = 16384;

  // Copies what the PPIs need of `scenario`; places their tables in `arena`.
  PlatformPpis(const Scenario& scenario, Machine& machine, RunLog& log, GuestArena& arena,
               PeiFoundation& foundation);
  PlatformPpis(const PlatformPpis&) = delete;
  PlatformPpis& operator=(const PlatformPpis&) = delete;

  // Installed before the module is dispatched: debug services, PCD, HECI, SPI, as the scenario
  // has them, then the other PPIs it names.
  void install_platform();
  // The stand-in board module installs its System Board PPI (notifications run).
  uint32_t install_system_board();
  uint32_t system_board_interface() const { return board_interface_; }
  uint32_t system_board_descriptor() const { return board_descriptor_; }
  uint32_t mcfg_table() const { return mcfg_table_; }

  // What the PPIs saw, the first kMaxRecorded of each.
  static constexpr size_t kMaxRecorded = 1024;
  std::vector<HeciRequest> heci_requests;
  uint64_t heci_request_count = 0;
  std::vector<unsigned> board_slots_called;  // stand-in routines the chipset code reached

  // A host routine behind a PPI slot; `slot` is the slot's index in the interface.
  using Routine = void (PlatformPpis::*)(TrapFrame& frame, unsigned slot);
  struct SlotRoutine;
  struct Declaration;

 private:
  // The PPIs installed before the module is dispatched, in the order they are installed.
  static std::span<const Declaration> installed_before_dispatch();
  // The stand-in board module's PPI: every slot a routine that records it was reached.
  static const Declaration& system_board();
  // Makes the traps behind a declared PPI's slots and gives their addresses, in slot order.
  std::vector<uint32_t> make_slots(const Declaration& ppi);
  // Places the interface of a declared PPI and its one-entry descriptor list; gives the
  // descriptor list's address.
  uint32_t place(const Declaration& ppi, const std::vector<uint32_t>& slots);
  // A one-entry descriptor list; `name` labels it and its interface in fault reports.
  uint32_t descriptor(const Guid& guid, uint32_t interface, const std::string& name);
  uint32_t table(const std::vector<uint32_t>& slots, std::string label);
  void place_mcfg_table();
  void install_other_ppis();
  void place_system_board();

  void debug_print(TrapFrame& frame, unsigned slot);
  void debug_assert(TrapFrame& frame, unsigned slot);
  void pcd_get64(TrapFrame& frame, unsigned slot);
  void pcd_get_ptr(TrapFrame& frame, unsigned slot);
  void heci_send_with_ack(TrapFrame& frame, unsigned slot);
  void spi_read_soft_strap(TrapFrame& frame, unsigned slot);
  void stand_in_board_routine(TrapFrame& frame, unsigned slot);
  // The request the module sent, with how it differs from the ICC clocking query.
  HeciRequest read_heci_request(TrapFrame& frame) const;
  std::string render(uint32_t format, uint32_t marker);

  PlatformPpiConfig config_;
  Machine& machine_;
  RunLog& log_;
  GuestArena& arena_;
  PeiFoundation& foundation_;
  uint32_t board_interface_ = 0;
  uint32_t board_descriptor_ = 0;
  uint32_t mcfg_table_ = 0;
};

}  // namespace peiboard
