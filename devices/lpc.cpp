#include "lpc.h"

#include <array>

#include "chipset.h"

namespace peiboard {
namespace {

using K = RegisterKind;
constexpr std::array<RegisterSpec, 3> kRegisters{{
    {Lpc::kVendorId, 2, K::kConstant, "vendor id",
     [](const Scenario&, unsigned) -> uint64_t { return hw::kVendorId; }},
    {Lpc::kDeviceId, 2, K::kConstant, "device id",
     [](const Scenario& s, unsigned) -> uint64_t { return s.pch.lpc_device_id; }},
    {Lpc::kRevisionId, 1, K::kConstant, "revision id",
     [](const Scenario& s, unsigned) -> uint64_t { return s.pch.lpc_revision_id; }},
}};

}  // namespace

std::span<const RegisterSpec> Lpc::registers() { return kRegisters; }

Lpc::Lpc(const Scenario& scenario) { declare(config_, kRegisters, scenario); }

}  // namespace peiboard
