#include "heci.h"

#include <array>

#include "chipset.h"

namespace peiboard {
namespace {

using K = RegisterKind;
constexpr std::array<RegisterSpec, 3> kRegisters{{
    {Heci::kVendorId, 2, K::kConstant, "vendor id",
     [](const Scenario&, unsigned) -> uint64_t { return hw::kVendorId; }},
    {Heci::kMefs1, 4, K::kConstant, "MEFS1",
     [](const Scenario& s, unsigned) -> uint64_t { return s.heci.mefs1; }},
    {Heci::kMefs2, 4, K::kConstant, "MEFS2",
     [](const Scenario& s, unsigned) -> uint64_t { return s.heci.mefs2; }},
}};

}  // namespace

std::span<const RegisterSpec> Heci::registers() { return kRegisters; }

Heci::Heci(const Scenario& scenario) { declare(config_, kRegisters, scenario); }

}  // namespace peiboard
