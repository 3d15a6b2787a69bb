// The module's debug file and released image as the build made them, read once per test
// program, and the outside tools the debug tests compare against.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
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

// An i386 ELF file of the sections given, in order after the null section; a section's
// contents may be shared with an earlier one (its `same_as` index, from 1).
struct ElfSectionSpec {
  std::string name;
  uint32_t type = 1;  // SHT_PROGBITS
  uint32_t flags = 0;
  uint32_t address = 0;
  std::vector<uint8_t> contents;
  uint32_t link = 0;
  uint32_t same_as = 0;
};

inline std::vector<uint8_t> build_elf(const std::vector<ElfSectionSpec>& sections, uint32_t entry) {
  std::vector<uint8_t> file(52, 0);
  const uint8_t ident[] = {0x7F, 'E', 'L', 'F', 1, 1, 1};
  std::copy(std::begin(ident), std::end(ident), file.begin());
  put16(file, 16, 2);  // ET_EXEC
  put16(file, 18, 3);  // EM_386
  put32(file, 20, 1);
  put32(file, 24, entry);
  put16(file, 40, 52);
  put16(file, 46, 40);
  std::vector<uint8_t> names(1, 0);
  std::vector<uint32_t> name_at, offset, size;
  for (const auto& s : sections) {
    name_at.push_back(static_cast<uint32_t>(names.size()));
    names.insert(names.end(), s.name.begin(), s.name.end());
    names.push_back(0);
    if (s.same_as != 0) {
      offset.push_back(offset[s.same_as - 1]);
      size.push_back(size[s.same_as - 1]);
      continue;
    }
    offset.push_back(static_cast<uint32_t>(file.size()));
    size.push_back(static_cast<uint32_t>(s.contents.size()));
    file.insert(file.end(), s.contents.begin(), s.contents.end());
  }
  const auto names_at = static_cast<uint32_t>(file.size());
  const uint32_t names_name = static_cast<uint32_t>(names.size());
  const std::string shstrtab = ".shstrtab";
  names.insert(names.end(), shstrtab.begin(), shstrtab.end());
  names.push_back(0);
  file.insert(file.end(), names.begin(), names.end());
  while (file.size() % 4 != 0) file.push_back(0);
  const auto table = static_cast<uint32_t>(file.size());
  file.resize(file.size() + 40 * (sections.size() + 2), 0);
  auto header = [&](size_t index, uint32_t name, uint32_t type, uint32_t flags, uint32_t address,
                    uint32_t at, uint32_t bytes, uint32_t link) {
    const size_t h = table + 40 * index;
    put32(file, h, name);
    put32(file, h + 4, type);
    put32(file, h + 8, flags);
    put32(file, h + 12, address);
    put32(file, h + 16, at);
    put32(file, h + 20, bytes);
    put32(file, h + 24, link);
  };
  for (size_t i = 0; i < sections.size(); ++i) {
    const auto& s = sections[i];
    header(i + 1, name_at[i], s.type, s.flags, s.address, offset[i], size[i], s.link);
  }
  header(sections.size() + 1, names_name, 3, 0, 0, names_at, names_name + 10, 0);
  put32(file, 32, table);
  put16(file, 48, static_cast<uint16_t>(sections.size() + 2));
  put16(file, 50, static_cast<uint16_t>(sections.size() + 1));
  return file;
}

inline constexpr uint32_t kCode = 0x6;  // SHF_ALLOC | SHF_EXECINSTR

inline std::vector<uint8_t> symbol_table(
    const std::vector<std::tuple<uint32_t, uint32_t, uint16_t>>&
        symbols) {  // (name offset, value, section)
  std::vector<uint8_t> table(16, 0);
  for (const auto& [name, value, section] : symbols) {
    append_le(table, name);
    append_le(table, value);
    append_le(table, uint32_t{1});
    table.push_back(0x12);  // global function
    table.push_back(0);
    append_le(table, section);
  }
  return table;
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
