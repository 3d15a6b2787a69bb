// The PCH as the module sees it: the bus that decodes the configuration window (ECAM), the
// private configuration register (PCR) window and the PMC's PWRM block to the devices
// behind them, and aborts wherever nothing decodes. Every access is logged.
//
// Each device lives in its own file with its register table and its reset: the LPC bridge
// (lpc.h), the PMC and its PWRM block (pmc.h), the ME interface (heci.h), the root ports
// (root_ports.h) and the PCR ports (pcr.h). The bus is built anew at every reset of the
// board, each device as the scenario has it at reset. An access that no register covers is
// logged as unmodelled and reads as the hardware would (0 in a present function's
// configuration space, all ones in PCR and PWRM).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "heci.h"
#include "log.h"
#include "lpc.h"
#include "memory_map.h"
#include "pcr.h"
#include "pmc.h"
#include "register_block.h"
#include "root_ports.h"
#include "scenario.h"

namespace peiboard {

// Who made an access: the guest address answerable for it (the instruction, or for the
// host's own work on the guest's behalf, the block that called it).
using AccessOrigin = std::function<uint32_t()>;

class Chipset {
 public:
  Chipset(const Scenario& scenario, RunLog& log, AccessOrigin origin);
  Chipset(const Chipset&) = delete;
  Chipset& operator=(const Chipset&) = delete;
  ~Chipset();

  // A guest access at an address no RAM claims: the windows decode it, else it is a bus
  // abort (reads all ones, writes dropped). Every access is logged.
  uint64_t read(uint32_t address, unsigned width);
  void write(uint32_t address, unsigned width, uint64_t value);

  // Configuration space by bus/device/function offset (bdf() above); null when absent.
  RegisterBlock* function(uint32_t bdf);
  // A PCR port's registers; null when the port is not modelled.
  const RegisterBlock* pcr_port(uint8_t port) const { return pcr_.port(port); }
  // The PWRM block, wherever it decodes; null without a PMC.
  RegisterBlock* pwrm() { return pmc_ ? &pmc_->pwrm() : nullptr; }
  // Declares (or changes) a 32-bit PCR register.
  void set_pcr(uint8_t port, uint16_t offset, uint32_t value) { pcr_.set(port, offset, value); }
  // Where the PWRM block decodes; 0 while it decodes nowhere (or there is no PMC).
  uint32_t pwrm_base() const { return pmc_ ? pmc_->pwrm_base() : 0; }

 private:
  // Logs an access; `what` gives its description and is called only when tracing.
  template <class What>
  void log_access(bool write, uint32_t address, unsigned width, uint64_t value, What&& what);
  uint64_t read_ecam(uint32_t offset, unsigned width);
  void write_ecam(uint32_t offset, unsigned width, uint64_t value);
  uint64_t read_pcr(uint32_t offset, unsigned width);
  void write_pcr(uint32_t offset, unsigned width, uint64_t value);
  uint64_t read_pwrm(uint32_t address, unsigned width);
  void write_pwrm(uint32_t address, unsigned width, uint64_t value);

  RunLog& log_;
  AccessOrigin origin_;
  uint32_t ecam_base_;
  Lpc lpc_;
  std::optional<Pmc> pmc_;
  std::optional<Heci> heci_;
  RootPorts root_ports_;
  Pcr pcr_;
  // Every function's configuration space, each owned by its device, sorted by bdf() offset.
  std::vector<std::pair<uint32_t, RegisterBlock*>> functions_;
};

}  // namespace peiboard
