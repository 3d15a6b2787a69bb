// What the fuzzer's tests share: the scenario files of the tree and platforms made as a
// campaign makes them.
#pragma once

#include <algorithm>
#include <filesystem>
#include <vector>

#include "platforms.h"
#include "random.h"
#include "scenario.h"

namespace peiboard::fuzz {

inline std::vector<std::filesystem::path> scenario_files() {
  std::vector<std::filesystem::path> files;
  for (const char* folder : {"scenarios", "tests/scenarios", "tests/cli"}) {
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(PEIBOARD_SOURCE_DIR) / folder)) {
      if (entry.path().extension() == ".toml") files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Platforms as a campaign makes them: each from the one before, now and then afresh.
inline std::vector<Scenario> platforms(Mode mode, size_t count, uint64_t seed) {
  const PlatformSpace space(mode);
  Rng rng(seed);
  std::vector<Scenario> out;
  Scenario current = space.base();
  for (size_t i = 0; i < count; ++i) {
    current = rng.chance(1, 8)
                  ? space.generate(rng)
                  : space.mutate(rng, current, out.empty() ? nullptr : &out[rng.below(out.size())]);
    out.push_back(current);
  }
  return out;
}

}  // namespace peiboard::fuzz
