// The PCH as the module sees it: PCI configuration space decoded from the hardware's
// configuration window, the private configuration register (PCR) window, the PWRM block,
// and bus aborts wherever nothing decodes.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "log.h"
#include "machine.h"
#include "scenario.h"

namespace peiboard {

// Who made an access: the routine the instruction pointer is in.
using RoutineOf = std::function<std::string()>;

// Register addresses and values that are facts of the hardware, not of a scenario.
namespace hw {
inline constexpr uint32_t kPcrBase = 0xFD000000;
inline constexpr uint32_t kPcrSize = 0x01000000;
inline constexpr uint64_t kEcamSize = 0x10000000;
inline constexpr uint32_t kPwrmSize = 0x10000;
inline constexpr uint16_t kVendorId = 0x5A5A;  // the board model's stand-in vendor id
inline constexpr uint8_t kPortHsio = 0x13;
inline constexpr uint16_t kLaneOwnerOffset = 0x250;
inline constexpr uint8_t kPortPcieController0 = 0xE0;
inline constexpr uint32_t kDwrOffset = 0x12C;
inline constexpr uint32_t kDwrActive = 0x8000;
inline constexpr uint32_t kStrapFuseCfg = 0xFC;
// PCI device of each root-port controller's functions.
inline constexpr std::array<uint8_t, 5> kControllerDevice{28, 28, 29, 29, 27};

constexpr uint32_t bdf(uint32_t bus, uint32_t device, uint32_t function) {
  return bus << 20 | device << 15 | function << 12;
}
inline constexpr uint32_t kLpc = bdf(0, 31, 0);
inline constexpr uint32_t kPmc = bdf(0, 31, 2);
inline constexpr uint32_t kHeci = bdf(0, 22, 0);
}  // namespace hw

// One PCI function's 4 KiB configuration space. Reads and writes land in its storage;
// that is where the hardware keeps what firmware programs (the PMC's ACPI base and control).
struct ConfigFunction {
  std::string name;
  std::array<uint8_t, 4096> space{};
  void set(uint32_t offset, unsigned width, uint64_t value);
  uint64_t get(uint32_t offset, unsigned width) const;
};

class Chipset {
 public:
  Chipset(const Scenario& scenario, Machine& machine, RunLog& log, RoutineOf routine_of);
  Chipset(const Chipset&) = delete;
  Chipset& operator=(const Chipset&) = delete;
  ~Chipset();

  // Configuration space by bus/device/function offset (bdf() above); null when absent.
  ConfigFunction* function(uint32_t bdf);
  ConfigFunction& add_function(uint32_t bdf, std::string name);
  void set_pcr(uint8_t port, uint16_t offset, uint32_t value);
  uint32_t ecam_base() const { return ecam_base_; }
  uint32_t pwrm_base() const { return pwrm_base_; }

 private:
  class Ecam;
  class Pcr;
  class Pwrm;
  class Abort;
  void log_access(bool write, uint32_t address, unsigned width, uint64_t value, std::string what);

  Machine& machine_;
  RunLog& log_;
  RoutineOf routine_of_;
  uint32_t ecam_base_;
  uint32_t pwrm_base_ = 0;
  bool dwr_ = false;
  std::map<uint32_t, ConfigFunction> functions_;
  std::map<uint32_t, uint32_t> pcr_;  // port << 16 | offset
  std::vector<std::unique_ptr<MmioDevice>> devices_;

  friend class Board;
  // Maps the windows and fills every hole of the 32-bit space with bus-abort regions.
  // `taken` lists the regions others already mapped (base, size).
  void map(const std::vector<std::pair<uint32_t, uint64_t>>& taken);
};

}  // namespace peiboard
