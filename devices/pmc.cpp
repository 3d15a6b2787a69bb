#include "pmc.h"

#include <array>

#include "chipset.h"

namespace peiboard {
namespace {

using K = RegisterKind;
constexpr std::array<RegisterSpec, 4> kConfigRegisters{{
    {Pmc::kVendorId, 2, K::kConstant, "vendor id",
     [](const Scenario&, unsigned) -> uint64_t { return hw::kVendorId; }},
    {Pmc::kAcpiBase, 4, K::kReadWrite, "ACPI base",
     [](const Scenario& s, unsigned) -> uint64_t { return s.pmc.acpi_base; }},
    {Pmc::kAcpiControl, 1, K::kReadWrite, "ACPI control",
     [](const Scenario& s, unsigned) -> uint64_t { return s.pmc.acpi_control; }},
    {Pmc::kPwrmBase, 4, K::kWriteOnce, "PWRM base",
     [](const Scenario& s, unsigned) -> uint64_t { return s.pmc.pwrm_base; }},
}};

constexpr std::array<RegisterSpec, 1> kPwrmRegisters{{
    {hw::kDwrOffset, 4, K::kConstant, "DWR",
     [](const Scenario& s, unsigned) -> uint64_t { return s.pmc.dwr ? hw::kDwrActive : 0u; }},
}};

}  // namespace

std::span<const RegisterSpec> Pmc::config_registers() { return kConfigRegisters; }
std::span<const RegisterSpec> Pmc::pwrm_registers() { return kPwrmRegisters; }

// Unmodelled PWRM registers read all ones, as an MMIO block's do.
RegisterBlock Pmc::pwrm_block() { return RegisterBlock("PWRM", hw::kPwrmSize, 0xFF); }

Pmc::Pmc(const Scenario& scenario) {
  declare(config_, kConfigRegisters, scenario);
  declare(pwrm_, kPwrmRegisters, scenario);
  decode_pwrm();
}

void Pmc::decode_pwrm() {
  pwrm_base_ = static_cast<uint32_t>(config_.get(kPwrmBase, 4)) & hw::kPwrmBaseMask;
}

}  // namespace peiboard
