// What the fuzzer's tests share: the scenario files of the tree.
#pragma once

#include <algorithm>
#include <filesystem>
#include <vector>

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

}  // namespace peiboard::fuzz
