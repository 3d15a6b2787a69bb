// The PCIe root ports: five controllers of four ports each. A controller's ports answer at
// the functions of its PCI device that its function-map register (in PCR) names; the first
// one carries the controller's StrapFuseCfg. A later controller naming the same function
// takes it over, as the scenario format promises.
#pragma once

#include <cstdint>
#include <map>
#include <span>

#include "register_block.h"

namespace peiboard {

class RootPorts {
 public:
  static constexpr unsigned kControllers = 5;
  static constexpr unsigned kPortsPerController = 4;
  static constexpr uint32_t kVendorId = 0x00;
  // Every port's function, and what a controller's first one carries besides (the
  // instance is the controller).
  static std::span<const RegisterSpec> port_registers();
  static std::span<const RegisterSpec> first_port_registers();

  // The device as the scenario has it at reset.
  explicit RootPorts(const Scenario& scenario);
  // Configuration space of each function a port answers at, by bdf() offset.
  std::map<uint32_t, RegisterBlock>& functions() { return functions_; }

 private:
  std::map<uint32_t, RegisterBlock> functions_;
};

}  // namespace peiboard
