#include "source_map.h"

#include <algorithm>

#include "elf_file.h"
#include "files.h"
#include "format.h"

namespace peiboard {

Expected<SourceMap> SourceMap::load(const std::filesystem::path& elf) {
  auto bytes = read_input_file(elf, kMaxFileSize, "debug file");
  if (!bytes) return bytes.error();
  auto map = parse(std::move(*bytes));
  if (!map) return Error{elf.string() + ": " + map.error().message};
  return map;
}

Expected<SourceMap> SourceMap::parse(std::vector<uint8_t> bytes) {
  auto elf = ElfFile::parse(std::move(bytes));
  if (!elf) return elf.error();
  SourceMap map;
  map.entry_ = elf->entry();

  for (const auto& s : elf->sections()) {
    if (!s.allocated() || !s.executable() || s.type != ElfSection::kProgbits) continue;
    if (uint64_t{s.address} + s.size > UINT32_MAX) return Error{s.name + " runs past 4 GiB"};
    map.code_.push_back({s.name, s.address, {s.contents.begin(), s.contents.end()}});
  }
  if (map.code_.empty()) return Error{"the debug file holds no code"};
  auto code_section = [&](uint32_t address) -> const CodeSection* {
    for (const auto& c : map.code_) {
      if (address >= c.address && address - c.address < c.bytes.size()) return &c;
    }
    return nullptr;
  };

  const ElfSection* debug_line = elf->section(".debug_line");
  if (debug_line == nullptr) return Error{"the debug file has no .debug_line section"};
  DwarfStrings strings;
  if (const auto* s = elf->section(".debug_str")) strings.str = s->contents;
  if (const auto* s = elf->section(".debug_line_str")) strings.line_str = s->contents;
  auto table = read_line_table(debug_line->contents, strings);
  if (!table) return Error{".debug_line: " + table.error().message};
  map.files_ = std::move(table->files);

  // Keep the rows that describe the image's code, first come first served where units overlap.
  auto ranges = std::move(table->ranges);
  std::stable_sort(ranges.begin(), ranges.end(),
                   [](const LineRange& a, const LineRange& b) { return a.begin < b.begin; });
  for (LineRange r : ranges) {
    if (r.line == 0) continue;
    if (!map.lines_.empty()) r.begin = std::max(r.begin, map.lines_.back().end);
    if (r.begin >= r.end) continue;
    const CodeSection* c = code_section(r.begin);
    if (c == nullptr) continue;
    r.end =
        static_cast<uint32_t>(std::min<uint64_t>(r.end, uint64_t{c->address} + c->bytes.size()));
    map.lines_.push_back(r);
  }

  if (elf->section(".symtab") == nullptr) return Error{"the debug file has no symbol table"};
  for (const auto& sym : elf->symbols()) {
    if (sym.type != ElfSymbol::kFunction || sym.section == 0 ||
        sym.section >= elf->sections().size()) {
      continue;
    }
    const ElfSection& s = elf->sections()[sym.section];
    if (!s.executable() || sym.value < s.address || sym.value - s.address >= s.size) continue;
    std::string name = sym.name;
    if (name.size() > 1 && name[0] == '_') name.erase(0, 1);
    map.routines_.push_back({std::move(name), sym.value, s.address + s.size - sym.value});
  }
  std::sort(map.routines_.begin(), map.routines_.end(), [](const Routine& a, const Routine& b) {
    return a.address != b.address ? a.address < b.address : a.name < b.name;
  });
  for (size_t i = 0; i < map.routines_.size(); ++i) {
    Routine& r = map.routines_[i];
    for (size_t j = i + 1; j < map.routines_.size(); ++j) {
      const uint32_t next = map.routines_[j].address;
      if (next > r.address) {
        r.size = std::min(r.size, next - r.address);
        break;
      }
    }
  }
  return map;
}

const Routine* SourceMap::routine_at(uint32_t address) const {
  auto it = std::upper_bound(routines_.begin(), routines_.end(), address,
                             [](uint32_t a, const Routine& r) { return a < r.address; });
  if (it == routines_.begin()) return nullptr;
  const uint32_t start = std::prev(it)->address;
  // Aliases share a start: the first by name answers.
  it = std::lower_bound(routines_.begin(), it, start,
                        [](const Routine& r, uint32_t a) { return r.address < a; });
  if (address - it->address >= it->size) return nullptr;
  return &*it;
}

std::optional<uint32_t> SourceMap::address_of(std::string_view routine) const {
  for (const auto& r : routines_) {
    if (r.name == routine) return r.address;
  }
  return std::nullopt;
}

AddressInfo SourceMap::lookup(uint32_t address) const {
  AddressInfo info;
  if (const Routine* r = routine_at(address)) {
    info.routine = r->name;
    info.offset = address - r->address;
  }
  auto it = std::upper_bound(lines_.begin(), lines_.end(), address,
                             [](uint32_t a, const LineRange& r) { return a < r.begin; });
  if (it != lines_.begin() && address < std::prev(it)->end) {
    info.file = files_[std::prev(it)->file];
    info.line = std::prev(it)->line;
  }
  return info;
}

std::string SourceMap::describe(uint32_t address) const {
  const AddressInfo info = lookup(address);
  std::string text = info.routine ? *info.routine : hex(address, 8);
  if (info.routine && info.offset != 0) text += "+" + hex(info.offset);
  if (info.file) text += " (" + *info.file + ":" + std::to_string(info.line) + ")";
  return text;
}

}  // namespace peiboard
