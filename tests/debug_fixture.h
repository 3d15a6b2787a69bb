// The module's debug file and released image as the build made them, read once per test
// program, and the outside tools the debug tests compare against.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bytes.h"
#include "format.h"
#include "pe_image.h"
#include "source_map.h"

namespace peiboard::testing {

// A .debug_line section of one unit: `lead` (the version and, from DWARF 5 on, the address
// and segment selector sizes), the header after its length field, then the line program.
inline std::vector<uint8_t> line_section(std::vector<uint8_t> lead,
                                         const std::vector<uint8_t>& header,
                                         const std::vector<uint8_t>& program) {
  std::vector<uint8_t> unit = std::move(lead);
  append_le(unit, static_cast<uint32_t>(header.size()));
  unit.insert(unit.end(), header.begin(), header.end());
  unit.insert(unit.end(), program.begin(), program.end());
  std::vector<uint8_t> section;
  append_le(section, static_cast<uint32_t>(unit.size()));
  section.insert(section.end(), unit.begin(), unit.end());
  return section;
}

inline const SourceMap& module_source_map() {
  static const SourceMap map = [] {
    auto loaded = SourceMap::load(PEIBOARD_DEBUG_ELF);
    if (!loaded) throw std::runtime_error(loaded.error().message);
    return std::move(loaded).value();
  }();
  return map;
}

inline const PeImage& released_image() {
  static const PeImage image = [] {
    auto loaded = PeImage::load(PEIBOARD_IMAGE, std::filesystem::path(PEIBOARD_MAP));
    if (!loaded) throw std::runtime_error(loaded.error().message);
    return std::move(loaded).value();
  }();
  return image;
}

struct CommandResult {
  int status = -1;  // as pclose() gives it: 0 for exit code 0
  std::string output;
};

// Runs a shell command and collects what it printed on its standard output.
inline CommandResult run_command(const std::string& command) {
  struct Closer {
    void operator()(FILE* f) const { pclose(f); }
  };
  CommandResult result;
  std::unique_ptr<FILE, Closer> pipe(popen(command.c_str(), "r"));
  if (!pipe) throw std::runtime_error("cannot run " + command);
  char buffer[4096];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0) result.output.append(buffer, n);
  result.status = pclose(pipe.release());
  return result;
}

// What a shell command printed on its standard output; fails the test when it does not exit 0.
inline std::string command_output(const std::string& command) {
  CommandResult result = run_command(command);
  EXPECT_EQ(result.status, 0) << command << "\n" << result.output;
  return result.output;
}

// Path of a module source file, relative to the firmware tree.
inline constexpr const char* kModuleFile =
    "QuarnelProjectPkg/BoardMain/QuarnelPeiSystemBoardOverride/QuarnelPeiSystemBoardOverride.cpp";

}  // namespace peiboard::testing
