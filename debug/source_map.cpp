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
  const uint64_t file_size = bytes.size();
  auto elf = ElfFile::parse(std::move(bytes));
  if (!elf) return elf.error();
  SourceMap map;
  map.entry_ = elf->entry();

  // Code sections are copied: they must not overlap, and may not hold more bytes than the file
  // (sections may share file bytes, and copies of shared bytes would cost more than the file).
  uint64_t code_bytes = 0;
  for (const auto& s : elf->sections()) {
    if (!s.allocated() || !s.executable() || s.type != ElfSection::kProgbits || s.size == 0) {
      continue;
    }
    if (uint64_t{s.address} + s.size > UINT32_MAX)
      return Error{std::string(s.name) + " runs past 4 GiB"};
    code_bytes += s.size;
    if (code_bytes > file_size) return Error{"the code sections hold more bytes than the file"};
    map.code_.push_back({std::string(s.name), s.address, {s.contents.begin(), s.contents.end()}});
  }
  if (map.code_.empty()) return Error{"the debug file holds no code"};
  std::sort(map.code_.begin(), map.code_.end(),
            [](const CodeSection& a, const CodeSection& b) { return a.address < b.address; });
  for (size_t i = 1; i < map.code_.size(); ++i) {
    const CodeSection& before = map.code_[i - 1];
    if (uint64_t{before.address} + before.bytes.size() > map.code_[i].address) {
      return Error{"code sections " + before.name + " and " + map.code_[i].name + " overlap"};
    }
  }
  auto code_section = [&](uint32_t address) -> const CodeSection* {
    auto it = std::upper_bound(map.code_.begin(), map.code_.end(), address,
                               [](uint32_t a, const CodeSection& c) { return a < c.address; });
    if (it == map.code_.begin()) return nullptr;
    const CodeSection& c = *std::prev(it);
    return address - c.address < c.bytes.size() ? &c : nullptr;
  };

  // Only rows that start in the code are kept; one link describes each code byte once, so
  // a table with more rows there than the code has bytes is refused.
  const LineFilter filter{[&](uint32_t address) { return code_section(address) != nullptr; },
                          static_cast<size_t>(code_bytes)};
  auto table = read_line_table(*elf, filter);
  if (!table) return table.error();
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

  if (const ElfSection* info = elf->section(".debug_info")) {
    if (info->size > kMaxDebugInfo) {
      return Error{".debug_info is " + std::to_string(info->size) + " bytes, more than the " +
                   std::to_string(kMaxDebugInfo >> 20) +
                   " MiB a module's debug information may have"};
    }
    std::vector<std::pair<uint32_t, uint32_t>> code;
    for (const CodeSection& c : map.code_) {
      code.emplace_back(c.address, c.address + static_cast<uint32_t>(c.bytes.size()));
    }
    auto inlined = read_inlined_scopes(elf->bytes(), code, static_cast<size_t>(code_bytes));
    if (!inlined) return Error{".debug_info: " + inlined.error().message};
    map.inlined_ = std::move(*inlined);
    std::sort(map.inlined_.begin(), map.inlined_.end(),
              [](const InlinedScope& a, const InlinedScope& b) {
                return a.begin != b.begin ? a.begin < b.begin : a.depth < b.depth;
              });
  }

  if (elf->section(".symtab") == nullptr) return Error{"the debug file has no symbol table"};
  // Routines copy their names: many symbols may share one long name in the file, so the copies
  // together may not exceed the file.
  uint64_t name_bytes = 0;
  for (const auto& sym : elf->symbols()) {
    if (sym.type != ElfSymbol::kFunction || sym.section == 0 ||
        sym.section >= elf->sections().size()) {
      continue;
    }
    const ElfSection& s = elf->sections()[sym.section];
    if (!s.executable() || sym.value < s.address || sym.value - s.address >= s.size) continue;
    std::string_view name = sym.name;
    if (name.size() > 1 && name[0] == '_') name.remove_prefix(1);
    name_bytes += name.size();
    if (name_bytes > file_size) return Error{"the routines' names add up to more than the file"};
    map.routines_.push_back({std::string(name), sym.value, s.address + s.size - sym.value});
  }
  std::sort(map.routines_.begin(), map.routines_.end(), [](const Routine& a, const Routine& b) {
    return a.address != b.address ? a.address < b.address : a.name < b.name;
  });
  // Each routine reaches at most to the next one that starts further on.
  std::optional<uint32_t> next;
  for (size_t i = map.routines_.size(); i-- > 0;) {
    Routine& r = map.routines_[i];
    if (i + 1 < map.routines_.size() && map.routines_[i + 1].address > r.address) {
      next = map.routines_[i + 1].address;
    }
    if (next) r.size = std::min(r.size, *next - r.address);
  }
  return map;
}

Expected<void> SourceMap::describes(uint32_t base, std::span<const uint8_t> memory) const {
  const uint64_t end = uint64_t{base} + memory.size();
  for (const CodeSection& c : code_) {
    const std::string what =
        c.name + " (" + std::to_string(c.bytes.size()) + " bytes at " + hex(c.address, 8) + ")";
    if (c.address < base || c.address + uint64_t{c.bytes.size()} > end) {
      return Error{what + " lies outside the image (" + hex(base, 8) + " to " + hex(end, 8) + ")"};
    }
    const auto image = memory.subspan(c.address - base, c.bytes.size());
    const auto differs = std::mismatch(c.bytes.begin(), c.bytes.end(), image.begin());
    if (differs.first != c.bytes.end()) {
      return Error{what + " differs from the image's code at " +
                   hex(c.address + static_cast<uint32_t>(differs.first - c.bytes.begin()), 8)};
    }
  }
  return {};
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

std::vector<SourceLocation> SourceMap::inline_chain(uint32_t address) const {
  const AddressInfo info = lookup(address);
  if (!info.routine) return {};
  // The inlined copies holding the address, innermost first. Ranges start in address order,
  // so only those that start at or before it are candidates.
  std::vector<const InlinedScope*> around;
  const auto last = std::upper_bound(inlined_.begin(), inlined_.end(), address,
                                     [](uint32_t a, const InlinedScope& s) { return a < s.begin; });
  for (auto it = inlined_.begin(); it != last; ++it) {
    if (address < it->end) around.push_back(&*it);
  }
  std::stable_sort(around.begin(), around.end(), [](const InlinedScope* a, const InlinedScope* b) {
    return a->depth > b->depth;
  });
  std::vector<SourceLocation> chain;
  SourceLocation level{*info.routine, info.offset, info.file, info.line, false};
  for (const InlinedScope* s : around) {
    chain.push_back({s->routine, 0, level.file, level.line, true});
    level.file = s->call_file.empty() ? std::nullopt : std::optional(s->call_file);
    level.line = s->call_line;
  }
  chain.push_back(std::move(level));
  return chain;
}

std::string SourceMap::describe(uint32_t address) const {
  const AddressInfo info = lookup(address);
  std::string text = info.routine ? *info.routine : hex(address, 8);
  if (info.routine && info.offset != 0) text += "+" + hex(info.offset);
  if (info.file) text += " (" + *info.file + ":" + std::to_string(info.line) + ")";
  return text;
}

}  // namespace peiboard
