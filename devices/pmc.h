// The power management controller (0:31.2): the ACPI base and control the module programs,
// the base of the PWRM MMIO block, and that block, decoded where its base register says.
//
// The PWRM base is programmed and locked before the module runs on a real board; when the
// scenario leaves it 0 the block decodes nowhere until the guest writes a base.
#pragma once

#include <cstdint>
#include <span>

#include "register_block.h"

namespace peiboard {

class Pmc {
 public:
  // Configuration space.
  static constexpr uint32_t kVendorId = 0x00;
  static constexpr uint32_t kAcpiBase = 0x40;
  static constexpr uint32_t kAcpiControl = 0x44;
  static constexpr uint32_t kPwrmBase = 0x48;
  static std::span<const RegisterSpec> config_registers();
  // The PWRM block.
  static std::span<const RegisterSpec> pwrm_registers();

  // The device as the scenario has it at reset.
  explicit Pmc(const Scenario& scenario);
  RegisterBlock& config() { return config_; }
  RegisterBlock& pwrm() { return pwrm_; }
  // Where the PWRM block decodes; 0 while it decodes nowhere.
  uint32_t pwrm_base() const { return pwrm_base_; }
  // After every guest write to the configuration space: the block moves to where its base
  // register says now.
  void decode_pwrm();

 private:
  static RegisterBlock pwrm_block();
  RegisterBlock config_ = config_space("PMC");
  RegisterBlock pwrm_ = pwrm_block();
  uint32_t pwrm_base_ = 0;
};

}  // namespace peiboard
