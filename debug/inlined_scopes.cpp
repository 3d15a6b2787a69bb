#include "inlined_scopes.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <libelf.h>

#include <algorithm>
#include <filesystem>
#include <memory>

namespace peiboard {
namespace {

// Owners of libelf's and libdw's handles.
struct ElfCloser {
  void operator()(Elf* e) const { elf_end(e); }
};
struct DwarfCloser {
  void operator()(Dwarf* d) const { dwarf_end(d); }
};

// DIE trees nest no deeper than this (a routine's scopes nest a few levels; a deeper tree is
// built to exhaust the walk).
constexpr size_t kMaxDepth = 256;

std::string string_attribute(Dwarf_Die* die, unsigned name) {
  Dwarf_Attribute attribute;
  if (dwarf_attr_integrate(die, name, &attribute) == nullptr) return {};
  const char* text = dwarf_formstring(&attribute);
  return text != nullptr ? text : std::string();
}

uint64_t number_attribute(Dwarf_Die* die, unsigned name) {
  Dwarf_Attribute attribute;
  Dwarf_Word value = 0;
  if (dwarf_attr(die, name, &attribute) == nullptr || dwarf_formudata(&attribute, &value) != 0) {
    return 0;
  }
  return value;
}

// The path as the line reader gives it: relative to the unit's directory when it lies under it.
std::string relative_path(const char* path, const std::string& unit_directory) {
  const std::filesystem::path p(path);
  if (p.is_absolute() && !unit_directory.empty()) {
    const auto rel = p.lexically_relative(unit_directory);
    if (!rel.empty() && *rel.begin() != "..") return rel.lexically_normal().string();
  }
  return p.lexically_normal().string();
}

}  // namespace

Expected<std::vector<InlinedScope>> read_inlined_scopes(
    std::span<const uint8_t> elf_bytes, std::span<const std::pair<uint32_t, uint32_t>> code,
    size_t max_ranges) {
  std::vector<InlinedScope> scopes;
  elf_version(EV_CURRENT);
  std::vector<char> copy(elf_bytes.begin(), elf_bytes.end());
  std::unique_ptr<Elf, ElfCloser> elf(elf_memory(copy.data(), copy.size()));
  if (!elf) return Error{std::string("libelf: ") + elf_errmsg(-1)};
  std::unique_ptr<Dwarf, DwarfCloser> dwarf(dwarf_begin_elf(elf.get(), DWARF_C_READ, nullptr));
  // No DWARF units: no inlined code to tell of.
  if (!dwarf) return scopes;

  // The code ranges are sorted and disjoint: the one that may hold an address is the last
  // that starts at or before it.
  auto in_code = [&](uint64_t address) {
    auto it = std::upper_bound(code.begin(), code.end(), address,
                               [](uint64_t a, const auto& range) { return a < range.first; });
    return it != code.begin() && address < std::prev(it)->second;
  };
  uint64_t text_bytes = 0;
  Dwarf_CU* unit = nullptr;
  Dwarf_Die unit_die;
  uint8_t unit_type = 0;
  Dwarf_Half version = 0;
  while (dwarf_get_units(dwarf.get(), unit, &unit, &version, &unit_type, &unit_die, nullptr) == 0) {
    if (unit_type != DW_UT_compile) continue;
    const std::string unit_directory = string_attribute(&unit_die, DW_AT_comp_dir);
    Dwarf_Files* files = nullptr;
    size_t file_count = 0;
    if (dwarf_getsrcfiles(&unit_die, &files, &file_count) != 0) files = nullptr;
    // Depth-first through the unit, counting the inlined copies on the way down.
    struct Level {
      Dwarf_Die die;
      uint32_t inlined;  // inlined copies enclosing the DIE's children
    };
    std::vector<Level> stack;
    Dwarf_Die child;
    if (dwarf_child(&unit_die, &child) == 0) stack.push_back({child, 0});
    while (!stack.empty()) {
      if (stack.size() > kMaxDepth) return Error{"the DWARF units nest deeper than 256 levels"};
      Dwarf_Die die = stack.back().die;
      const uint32_t inlined = stack.back().inlined;
      // The next sibling replaces this DIE on the stack; its children go above it.
      Dwarf_Die sibling;
      if (dwarf_siblingof(&stack.back().die, &sibling) == 0) {
        stack.back().die = sibling;
      } else {
        stack.pop_back();
      }
      const int tag = dwarf_tag(&die);
      uint32_t inner = inlined;
      if (tag == DW_TAG_inlined_subroutine) {
        inner = inlined + 1;
        InlinedScope scope;
        scope.depth = inlined;
        scope.routine = string_attribute(&die, DW_AT_name);
        scope.call_line = static_cast<uint32_t>(number_attribute(&die, DW_AT_call_line));
        if (files != nullptr) {
          const uint64_t index = number_attribute(&die, DW_AT_call_file);
          if (index < file_count) {
            if (const char* path = dwarf_filesrc(files, index, nullptr, nullptr)) {
              scope.call_file = relative_path(path, unit_directory);
            }
          }
        }
        Dwarf_Addr base = 0, begin = 0, end = 0;
        ptrdiff_t offset = 0;
        while ((offset = dwarf_ranges(&die, offset, &base, &begin, &end)) > 0) {
          if (end <= begin || end > UINT32_MAX || !in_code(begin)) continue;
          if (scopes.size() == max_ranges) {
            return Error{"the inlined routines give more than " + std::to_string(max_ranges) +
                         " ranges in the code"};
          }
          text_bytes += scope.routine.size() + scope.call_file.size();
          if (text_bytes > elf_bytes.size()) {
            return Error{"the inlined routines' names add up to more than the file"};
          }
          scope.begin = static_cast<uint32_t>(begin);
          scope.end = static_cast<uint32_t>(end);
          scopes.push_back(scope);
        }
      }
      if (dwarf_haschildren(&die) && dwarf_child(&die, &child) == 0) {
        stack.push_back({child, inner});
      }
    }
  }
  return scopes;
}

}  // namespace peiboard
