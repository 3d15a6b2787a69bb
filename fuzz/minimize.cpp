#include "minimize.h"

#include <algorithm>

namespace peiboard::fuzz {

Minimized minimize(const Scenario& scenario, const PlatformSpace& space,
                   const std::function<bool(const Scenario&)>& keeps) {
  Minimized m{scenario, 0};
  Scenario& current = m.scenario;
  auto attempt = [&](Scenario candidate) {
    space.conform(candidate);
    if (candidate == current) return false;
    ++m.boots;
    if (!keeps(candidate)) return false;
    current = std::move(candidate);
    return true;
  };
  bool changed = true;
  while (changed) {
    changed = false;
    for (const VariedKey& varied : space.varied_keys()) {
      Scenario back = current;
      varied.assign(back, space.base());
      if (attempt(std::move(back))) {
        changed = true;
        continue;
      }
      if (!varied.count) continue;
      // Runs of elements from the end: half the list first, then ever shorter runs down to
      // single elements. Dropping a run leaves the indices below it as they were.
      for (size_t run = std::max<size_t>(1, varied.count(current) / 2);; run /= 2) {
        for (size_t end = varied.count(current); end >= run && end > 0; end -= run) {
          Scenario fewer = current;
          for (size_t i = end; i > end - run; --i) varied.erase(fewer, i - 1);
          if (attempt(std::move(fewer))) changed = true;
        }
        if (run == 1) break;
      }
    }
  }
  return m;
}

size_t keys_set(const Scenario& scenario, const PlatformSpace& space) {
  size_t count = 0;
  for (const VariedKey& varied : space.varied_keys()) {
    Scenario back = scenario;
    varied.assign(back, space.base());
    if (!(back == scenario)) ++count;
  }
  return count;
}

}  // namespace peiboard::fuzz
