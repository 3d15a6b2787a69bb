// Shrinking a finding's scenario to the keys that make it: each key back to the default
// board's value, and each list down to the elements that matter, while the finding stays.
#pragma once

#include <cstdint>
#include <functional>

#include "platforms.h"
#include "scenario.h"

namespace peiboard::fuzz {

struct Minimized {
  Scenario scenario;
  uint64_t boots = 0;  // how many times `keeps` was asked
};

// `keeps` boots a candidate and says whether it shows the same finding. Candidates keep the
// space's contracts (PlatformSpace::conform). Stops when no key or element can go.
Minimized minimize(const Scenario& scenario, const PlatformSpace& space,
                   const std::function<bool(const Scenario&)>& keeps);

// How many of the space's keys hold something other than the default board's value.
size_t keys_set(const Scenario& scenario, const PlatformSpace& space);

}  // namespace peiboard::fuzz
