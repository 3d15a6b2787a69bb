// The ME interface (HECI, 0:22.0): the firmware status registers the module reads to learn
// the management engine's state.
#pragma once

#include <cstdint>
#include <span>

#include "register_block.h"

namespace peiboard {

class Heci {
 public:
  static constexpr uint32_t kVendorId = 0x00;
  static constexpr uint32_t kMefs1 = 0x40;
  static constexpr uint32_t kMefs2 = 0x48;
  static std::span<const RegisterSpec> registers();

  // The device as the scenario has it at reset.
  explicit Heci(const Scenario& scenario);
  RegisterBlock& config() { return config_; }

 private:
  RegisterBlock config_ = config_space("HECI");
};

}  // namespace peiboard
