#include "pcr.h"

#include <array>
#include <cstdio>
#include <utility>

#include "chipset.h"

namespace peiboard {
namespace {

constexpr std::array<Pcr::Spec, 2> kRegisters{{
    {hw::kPortPcieController0, 0, "function map",
     [](const Scenario& s, unsigned controller) { return s.pch.rp_function_map[controller]; }, 5, 1,
     0},
    {hw::kPortHsio, hw::kLaneOwnerOffset, "lane owner",
     [](const Scenario& s, unsigned lane) { return s.pch.lane_owner[lane]; }, 4, 0, 4},
}};

}  // namespace

std::span<const Pcr::Spec> Pcr::registers() { return kRegisters; }

Pcr::Pcr(const Scenario& scenario) {
  for (const Spec& r : kRegisters) {
    for (unsigned i = 0; i < r.count; ++i) {
      set(static_cast<uint8_t>(r.port + i * r.port_stride),
          static_cast<uint16_t>(r.offset + i * r.offset_stride), r.reset(scenario, i));
    }
  }
}

void Pcr::set(uint8_t port, uint16_t offset, uint32_t value, std::string name) {
  char port_name[16];
  std::snprintf(port_name, sizeof port_name, "port 0x%02X", port);
  auto [it, added] = ports_.try_emplace(port, port_name, kPortSize, 0xFF);
  // PCR registers are 32 bits wide: the register is the offset's dword.
  it->second.define({static_cast<uint32_t>(offset & ~3u),
                     4,
                     RegisterKind::kConstant,
                     std::move(name),
                     value,
                     {},
                     {}});
}

const RegisterBlock* Pcr::port(uint8_t port) const {
  auto it = ports_.find(port);
  return it == ports_.end() ? nullptr : &it->second;
}

}  // namespace peiboard
