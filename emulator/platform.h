// The PPIs other firmware modules would have installed: debug services, PCD, HECI with the
// ME's ICC service behind it, SPI, and the stand-in board module's System Board PPI.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ffs.h"
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

class PlatformPpis {
 public:
  static constexpr unsigned kSystemBoardSlots = 22;
  static constexpr unsigned kPtssSlot = 15;

  // Longest format string and %a/%s argument the debug PPI reads, and longest text one
  // print may render; past them the text is cut and marked.
  static constexpr size_t kMaxFormat = 4096;
  static constexpr size_t kMaxPrint = 16384;

  PlatformPpis(const Scenario& scenario, Machine& machine, RunLog& log, GuestArena& arena,
               PeiFoundation& foundation);

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

 private:
  // A one-entry descriptor list; `name` labels it and its interface in fault reports.
  uint32_t ppi(const Guid& guid, uint32_t interface, const std::string& name);
  uint32_t table(const std::vector<uint32_t>& slots, std::string label);
  uint32_t heci_send(TrapFrame& f);
  uint32_t spi_read_strap(TrapFrame& f);
  std::string render(uint32_t format, uint32_t marker);

  const Scenario& s_;
  Machine& machine_;
  RunLog& log_;
  GuestArena& arena_;
  PeiFoundation& foundation_;
  uint32_t board_interface_ = 0;
  uint32_t board_descriptor_ = 0;
  uint32_t mcfg_table_ = 0;
};

}  // namespace peiboard
