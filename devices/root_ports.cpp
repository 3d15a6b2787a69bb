#include "root_ports.h"

#include <array>
#include <string>

#include "chipset.h"

namespace peiboard {
namespace {

using K = RegisterKind;
constexpr std::array<RegisterSpec, 1> kPortRegisters{{
    {RootPorts::kVendorId, 2, K::kConstant, "vendor id",
     [](const Scenario&, unsigned) -> uint64_t { return hw::kVendorId; }},
}};

constexpr std::array<RegisterSpec, 1> kFirstPortRegisters{{
    {hw::kStrapFuseCfg, 4, K::kConstant, "StrapFuseCfg",
     [](const Scenario& s, unsigned controller) -> uint64_t {
       return s.pch.strap_fuse_cfg[controller];
     }},
}};

}  // namespace

std::span<const RegisterSpec> RootPorts::port_registers() { return kPortRegisters; }
std::span<const RegisterSpec> RootPorts::first_port_registers() { return kFirstPortRegisters; }

RootPorts::RootPorts(const Scenario& scenario) {
  for (unsigned c = 0; c < kControllers; ++c) {
    const uint32_t map = scenario.pch.rp_function_map[c];
    for (unsigned k = 0; k < kPortsPerController; ++k) {
      const uint32_t fn = (map >> (4 * k)) & 7;
      const std::string name = "RP" + std::to_string(c * kPortsPerController + k);
      auto [it, added] =
          functions_.try_emplace(hw::bdf(0, hw::kControllerDevice[c], fn), config_space(name));
      if (added) declare(it->second, kPortRegisters, scenario, c);
      if (k == 0) {
        it->second.set_name(name);
        declare(it->second, kFirstPortRegisters, scenario, c);
      }
    }
  }
}

}  // namespace peiboard
