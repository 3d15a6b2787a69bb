#include "module_names.h"

#include <algorithm>

#include "elf_file.h"
#include "files.h"

namespace peiboard {

Expected<LinkMap> names_from_debug_file(const std::filesystem::path& elf, const PeImage& image) {
  auto bytes = read_input_file(elf, PeImage::kMaxFileSize * 4, "debug file");
  if (!bytes) return bytes.error();
  auto file = ElfFile::parse(std::move(*bytes));
  if (!file) return Error{elf.string() + ": " + file.error().message};
  LinkMap map;
  // The address the debug file's image starts at, as a link map's preferred load address.
  map.preferred_base = file->entry() - image.entry_rva();
  constexpr uint16_t kFirstReserved = 0xFF00;  // SHN_LORESERVE: absolute and common symbols
  for (const auto& s : file->symbols()) {
    // Names with the C decoration, as the link map lists them; C++-decorated names start "??".
    if (s.section == 0 || s.section >= kFirstReserved || s.name.size() < 2 || s.name[0] != '_') {
      continue;
    }
    map.symbols.push_back({std::string(s.name.substr(1)), s.value});
  }
  std::stable_sort(map.symbols.begin(), map.symbols.end(),
                   [](const Symbol& a, const Symbol& b) { return a.address < b.address; });
  const auto entry = std::find_if(map.symbols.begin(), map.symbols.end(), [](const Symbol& s) {
    return s.name == "SystemBoardOverrideEntryPoint";
  });
  if (entry == map.symbols.end() || entry->address != file->entry()) {
    return Error{elf.string() +
                 ": not the module's debug file (no SystemBoardOverrideEntryPoint "
                 "at its entry point)"};
  }
  return map;
}

std::string names_hint(const std::string& module_name) {
  return "pass its link map (--map " + module_name + ".map) or its debug file (--debug-file " +
         module_name + ".debug.elf), which the build writes beside " + module_name + ".efi";
}

}  // namespace peiboard
