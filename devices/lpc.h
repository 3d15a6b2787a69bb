// The LPC bridge (0:31.0): the identity the module reads to tell which PCH it runs on.
#pragma once

#include <cstdint>
#include <span>

#include "register_block.h"

namespace peiboard {

class Lpc {
 public:
  static constexpr uint32_t kVendorId = 0x00;
  static constexpr uint32_t kDeviceId = 0x02;
  static constexpr uint32_t kRevisionId = 0x08;
  static std::span<const RegisterSpec> registers();

  // The device as the scenario has it at reset.
  explicit Lpc(const Scenario& scenario);
  RegisterBlock& config() { return config_; }

 private:
  RegisterBlock config_ = config_space("LPC");
};

}  // namespace peiboard
