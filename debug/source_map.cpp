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

namespace {

// The ELF's code sections, copied and sorted by address; fails when they run past 4 GiB,
// overlap, or together hold more bytes than the file.
Expected<std::vector<CodeSection>> copy_code_sections(const ElfFile& elf, uint64_t file_size) {
  // Code sections are copied: they must not overlap, and may not hold more bytes than the file
  // (sections may share file bytes, and copies of shared bytes would cost more than the file).
  std::vector<CodeSection> code;
  uint64_t code_bytes = 0;
  for (const auto& s : elf.sections()) {
    if (!s.allocated() || !s.executable() || s.type != ElfSection::kProgbits || s.size == 0) {
      continue;
    }
    if (uint64_t{s.address} + s.size > UINT32_MAX)
      return Error{std::string(s.name) + " runs past 4 GiB"};
    code_bytes += s.size;
    if (code_bytes > file_size) return Error{"the code sections hold more bytes than the file"};
    code.push_back({std::string(s.name), s.address, {s.contents.begin(), s.contents.end()}});
  }
  if (code.empty()) return Error{"the debug file holds no code"};
  std::sort(code.begin(), code.end(),
            [](const CodeSection& a, const CodeSection& b) { return a.address < b.address; });
  for (size_t i = 1; i < code.size(); ++i) {
    const CodeSection& before = code[i - 1];
    if (uint64_t{before.address} + before.bytes.size() > code[i].address) {
      return Error{"code sections " + before.name + " and " + code[i].name + " overlap"};
    }
  }
  return code;
}

// The section of `code` (sorted by address) that holds `address`, or none.
const CodeSection* section_holding(const std::vector<CodeSection>& code, uint32_t address) {
  auto it = std::upper_bound(code.begin(), code.end(), address,
                             [](uint32_t a, const CodeSection& c) { return a < c.address; });
  if (it == code.begin()) return nullptr;
  const CodeSection& c = *std::prev(it);
  return address - c.address < c.bytes.size() ? &c : nullptr;
}

// The ranges with a line that describe the code, sorted, clipped to their section and to each
// other: first come first served where units overlap.
std::vector<LineRange> lines_in_code(std::vector<LineRange> ranges,
                                     const std::vector<CodeSection>& code) {
  std::vector<LineRange> lines;
  std::stable_sort(ranges.begin(), ranges.end(),
                   [](const LineRange& a, const LineRange& b) { return a.begin < b.begin; });
  for (LineRange r : ranges) {
    if (r.line == 0) continue;
    if (!lines.empty()) r.begin = std::max(r.begin, lines.back().end);
    if (r.begin >= r.end) continue;
    const CodeSection* c = section_holding(code, r.begin);
    if (c == nullptr) continue;
    r.end =
        static_cast<uint32_t>(std::min<uint64_t>(r.end, uint64_t{c->address} + c->bytes.size()));
    lines.push_back(r);
  }
  return lines;
}

// The inlined code in the code sections, sorted by address then depth; none without a
// .debug_info, a failure when that section is larger than a module's may be.
Expected<std::vector<InlinedScope>> inlined_in_code(const ElfFile& elf,
                                                    const std::vector<CodeSection>& code,
                                                    size_t code_bytes) {
  const ElfSection* info = elf.section(".debug_info");
  if (info == nullptr) return std::vector<InlinedScope>{};
  if (info->size > SourceMap::kMaxDebugInfo) {
    return Error{".debug_info is " + std::to_string(info->size) + " bytes, more than the " +
                 std::to_string(SourceMap::kMaxDebugInfo >> 20) +
                 " MiB a module's debug information may have"};
  }
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  for (const CodeSection& c : code) {
    ranges.emplace_back(c.address, c.address + static_cast<uint32_t>(c.bytes.size()));
  }
  auto inlined = read_inlined_scopes(elf.bytes(), ranges, code_bytes);
  if (!inlined) return Error{".debug_info: " + inlined.error().message};
  std::sort(inlined->begin(), inlined->end(), [](const InlinedScope& a, const InlinedScope& b) {
    return a.begin != b.begin ? a.begin < b.begin : a.depth < b.depth;
  });
  return inlined;
}

// The function symbols in executable sections, sorted by address then name, each reaching at
// most to its section's end and to the next routine; fails without a symbol table or when the
// names together outgrow the file.
Expected<std::vector<Routine>> routines_in_code(const ElfFile& elf, uint64_t file_size) {
  if (elf.section(".symtab") == nullptr) return Error{"the debug file has no symbol table"};
  // Routines copy their names: many symbols may share one long name in the file, so the copies
  // together may not exceed the file.
  std::vector<Routine> routines;
  uint64_t name_bytes = 0;
  for (const auto& sym : elf.symbols()) {
    if (sym.type != ElfSymbol::kFunction || sym.section == 0 ||
        sym.section >= elf.sections().size()) {
      continue;
    }
    const ElfSection& s = elf.sections()[sym.section];
    if (!s.executable() || sym.value < s.address || sym.value - s.address >= s.size) continue;
    std::string_view name = sym.name;
    if (name.size() > 1 && name[0] == '_') name.remove_prefix(1);
    name_bytes += name.size();
    if (name_bytes > file_size) return Error{"the routines' names add up to more than the file"};
    routines.push_back({std::string(name), sym.value, s.address + s.size - sym.value});
  }
  std::sort(routines.begin(), routines.end(), [](const Routine& a, const Routine& b) {
    return a.address != b.address ? a.address < b.address : a.name < b.name;
  });
  // Each routine reaches at most to the next one that starts further on.
  std::optional<uint32_t> next;
  for (size_t i = routines.size(); i-- > 0;) {
    Routine& r = routines[i];
    if (i + 1 < routines.size() && routines[i + 1].address > r.address) {
      next = routines[i + 1].address;
    }
    if (next) r.size = std::min(r.size, *next - r.address);
  }
  return routines;
}

}  // namespace

Expected<SourceMap> SourceMap::parse(std::vector<uint8_t> bytes) {
  const uint64_t file_size = bytes.size();
  auto elf = ElfFile::parse(std::move(bytes));
  if (!elf) return elf.error();
  SourceMap map;
  map.entry_ = elf->entry();

  auto code = copy_code_sections(*elf, file_size);
  if (!code) return code.error();
  map.code_ = std::move(*code);
  uint64_t code_bytes = 0;
  for (const CodeSection& c : map.code_) code_bytes += c.bytes.size();

  // Only rows that start in the code are kept; one link describes each code byte once, so
  // a table with more rows there than the code has bytes is refused.
  const LineFilter filter{
      [&](uint32_t address) { return section_holding(map.code_, address) != nullptr; },
      static_cast<size_t>(code_bytes)};
  auto table = read_line_table(*elf, filter);
  if (!table) return table.error();
  map.files_ = std::move(table->files);
  map.lines_ = lines_in_code(std::move(table->ranges), map.code_);

  auto inlined = inlined_in_code(*elf, map.code_, static_cast<size_t>(code_bytes));
  if (!inlined) return inlined.error();
  map.inlined_ = std::move(*inlined);

  auto routines = routines_in_code(*elf, file_size);
  if (!routines) return routines.error();
  map.routines_ = std::move(*routines);
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

const CodeSection* SourceMap::code_section_at(uint32_t address) const {
  return section_holding(code_, address);
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
