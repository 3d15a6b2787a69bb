#include "dwarf_line.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>

#include "format.h"
#include "string_table.h"

namespace peiboard {
namespace {

// Reads forward through a byte range. A read past the end sets failed() and yields zero, so a
// parser checks once after a group of reads instead of after each.
class Cursor {
 public:
  explicit Cursor(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool failed() const { return failed_; }
  bool at_end() const { return at_ >= bytes_.size(); }
  size_t offset() const { return at_; }
  size_t remaining() const { return failed_ ? 0 : bytes_.size() - at_; }

  uint8_t u8() { return static_cast<uint8_t>(take(1)); }
  uint16_t u16() { return static_cast<uint16_t>(take(2)); }
  uint32_t u32() { return static_cast<uint32_t>(take(4)); }
  uint64_t u64() { return take(8); }
  uint64_t sized(size_t n) { return take(n); }

  uint64_t uleb() {
    uint64_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
      const uint8_t byte = u8();
      if (failed_) return 0;
      if (shift < 64) value |= uint64_t{byte & 0x7Fu} << shift;
      if ((byte & 0x80) == 0) return value;
    }
  }
  int64_t sleb() {
    int64_t value = 0;
    unsigned shift = 0;
    uint8_t byte = 0;
    do {
      byte = u8();
      if (failed_) return 0;
      if (shift < 64) value |= static_cast<int64_t>(uint64_t{byte & 0x7Fu} << shift);
      shift += 7;
    } while (byte & 0x80);
    if (shift < 64 && (byte & 0x40)) value |= static_cast<int64_t>(~uint64_t{0} << shift);
    return value;
  }
  // The NUL-terminated string at the cursor, viewing the bytes (empty when it runs off them).
  std::string_view cstring() {
    if (failed_) return {};
    const auto begin = bytes_.begin() + static_cast<ptrdiff_t>(at_);
    const auto end = std::find(begin, bytes_.end(), uint8_t{0});
    if (end == bytes_.end()) {
      failed_ = true;
      at_ = bytes_.size();
      return {};
    }
    at_ += static_cast<size_t>(end - begin) + 1;
    return {reinterpret_cast<const char*>(bytes_.data()) + (begin - bytes_.begin()),
            static_cast<size_t>(end - begin)};
  }
  void skip(uint64_t n) {
    if (n > remaining()) {
      failed_ = true;
      at_ = bytes_.size();
      return;
    }
    at_ += static_cast<size_t>(n);
  }

 private:
  uint64_t take(size_t n) {
    if (failed_ || n > bytes_.size() - at_) {
      failed_ = true;
      at_ = bytes_.size();
      return 0;
    }
    uint64_t value = 0;
    for (size_t i = 0; i < n; ++i) value |= uint64_t{bytes_[at_ + i]} << (8 * i);
    at_ += n;
    return value;
  }

  std::span<const uint8_t> bytes_;
  size_t at_ = 0;
  bool failed_ = false;
};

// DWARF 5 forms a line table header may use (DWARF 5 section 7.5.6).
enum Form : uint64_t {
  kFormBlock2 = 0x03,
  kFormBlock4 = 0x04,
  kFormData2 = 0x05,
  kFormData4 = 0x06,
  kFormData8 = 0x07,
  kFormString = 0x08,
  kFormBlock = 0x09,
  kFormBlock1 = 0x0A,
  kFormData1 = 0x0B,
  kFormStrp = 0x0E,
  kFormUdata = 0x0F,
  kFormData16 = 0x1E,
  kFormLineStrp = 0x1F,
};
constexpr uint64_t kContentPath = 1;
constexpr uint64_t kContentDirectoryIndex = 2;

struct EntryFormat {
  uint64_t content = 0;
  uint64_t form = 0;
};

struct FileEntry {
  std::string_view name;  // views .debug_line or a string section
  uint64_t directory = 0;
};

// A unit's directory and file tables hold at most this many entries each (a unit names a few
// hundred at most): an entry may take as little as one byte, so the bytes left do not bound
// what the tables would cost in memory.
constexpr uint64_t kMaxEntries = 1u << 16;
// The file paths all units resolve, added up, stay below this: each resolution joins a
// directory and a name that may both point at one long string, so the table's bytes do not
// bound them.
constexpr uint64_t kMaxPathBytes = 64u << 20;
// One path, its name and the directories it joins, is at most this long (a system's longest
// path is 4096 bytes): longer ones would make every resolution cost megabytes.
constexpr uint64_t kMaxPathLength = 8192;

struct UnitHeader {
  uint16_t version = 0;
  size_t offset_size = 4;
  uint8_t min_instruction_length = 1;
  bool default_is_stmt = true;
  int8_t line_base = 0;
  uint8_t line_range = 1;
  uint8_t opcode_base = 1;
  std::vector<uint8_t> standard_lengths;
  std::vector<std::string_view> directories;  // as numbered by the unit's version
  std::vector<FileEntry> files;               // as numbered by the unit's version
};

std::string at_offset(size_t offset) { return "line table at " + hex(offset); }

// The string a DWARF 5 entry holds in `form`, or an error for a form that holds none.
// The string sections, each scanned at most once over all units.
struct StringSections {
  struct Section {
    size_t size;
    StringTable names;
  };
  Section str;
  Section line_str;
  explicit StringSections(const DwarfStrings& s)
      : str{s.str.size(), StringTable(s.str)},
        line_str{s.line_str.size(), StringTable(s.line_str)} {}
};

Expected<std::string_view> read_string_form(Cursor& c, uint64_t form, size_t offset_size,
                                            StringSections& strings) {
  if (form == kFormString) return c.cstring();
  if (form == kFormStrp || form == kFormLineStrp) {
    const uint64_t at = c.sized(offset_size);
    auto& table = form == kFormStrp ? strings.str : strings.line_str;
    if (at >= table.size) return Error{"a file name points outside its string section"};
    const auto text = table.names.at(at);
    if (!text) return Error{"a file name runs off its string section"};
    return *text;
  }
  return Error{"a file name uses form " + hex(form) + ", which this reader does not know"};
}

// Reads (or skips) one value of an entry; the number for integer forms, else zero.
Expected<uint64_t> read_number_form(Cursor& c, uint64_t form) {
  switch (form) {
    case kFormData1:
      return c.u8();
    case kFormData2:
      return c.u16();
    case kFormData4:
      return c.u32();
    case kFormData8:
      return c.u64();
    case kFormUdata:
      return c.uleb();
    case kFormData16:
      c.skip(16);
      return 0;
    case kFormBlock:
      c.skip(c.uleb());
      return 0;
    case kFormBlock1:
      c.skip(c.u8());
      return 0;
    case kFormBlock2:
      c.skip(c.u16());
      return 0;
    case kFormBlock4:
      c.skip(c.u32());
      return 0;
    default:
      return Error{"an entry uses form " + hex(form) + ", which this reader does not know"};
  }
}

// Reads a DWARF 5 directory or file name table: its entry formats, then its entries.
Expected<std::vector<FileEntry>> read_entry_table(Cursor& c, size_t offset_size,
                                                  StringSections& strings) {
  std::vector<EntryFormat> formats(c.u8());
  for (auto& f : formats) f = {c.uleb(), c.uleb()};
  const uint64_t count = c.uleb();
  if (c.failed()) return Error{"the header ends inside an entry format"};
  // Entries without a format take no bytes and say nothing: only an empty table may have none.
  if (formats.empty() && count != 0) {
    return Error{"the header lists " + std::to_string(count) + " entries but no entry format"};
  }
  // Each entry takes at least one byte: a count beyond the bytes left is corrupt.
  if (count > c.remaining()) return Error{"the header claims more entries than it holds"};
  if (count > kMaxEntries) {
    return Error{"the header lists " + std::to_string(count) + " entries, more than the " +
                 std::to_string(kMaxEntries) + " a unit may name"};
  }
  std::vector<FileEntry> entries;
  for (uint64_t i = 0; i < count; ++i) {
    FileEntry entry;
    for (const auto& f : formats) {
      if (f.content == kContentPath) {
        auto name = read_string_form(c, f.form, offset_size, strings);
        if (!name) return name.error();
        entry.name = *name;
      } else {
        auto value = read_number_form(c, f.form);
        if (!value) return value.error();
        if (f.content == kContentDirectoryIndex) entry.directory = *value;
      }
    }
    if (c.failed()) return Error{"the header ends inside an entry"};
    entries.push_back(entry);
  }
  return entries;
}

// The path of file `index` of the unit, relative to the unit's compilation directory where it
// lies beneath it.
std::optional<std::string> file_path(const UnitHeader& h, uint64_t index) {
  // DWARF 2 to 4 number files from 1 and directories from 1, with 0 meaning the compilation
  // directory; DWARF 5 numbers both from 0, entry 0 being the unit's own.
  const bool v5 = h.version >= 5;
  if (!v5 && index == 0) return std::nullopt;
  const uint64_t slot = v5 ? index : index - 1;
  if (slot >= h.files.size()) return std::nullopt;
  const FileEntry& f = h.files[static_cast<size_t>(slot)];
  const std::filesystem::path name(f.name);
  if (name.is_absolute()) {
    if (v5 && !h.directories.empty()) {
      const std::filesystem::path root(h.directories[0]);
      const auto rel = name.lexically_relative(root);
      if (!rel.empty() && *rel.begin() != "..") return rel.lexically_normal().string();
    }
    return name.lexically_normal().string();
  }
  std::filesystem::path dir;
  if (v5) {
    if (f.directory >= h.directories.size()) return std::nullopt;
    if (f.directory != 0) {
      dir = std::filesystem::path(h.directories[static_cast<size_t>(f.directory)]);
      if (dir.is_absolute() && !h.directories.empty()) {
        const auto rel = dir.lexically_relative(h.directories[0]);
        if (!rel.empty() && *rel.begin() != "..") dir = rel;
      }
    }
  } else if (f.directory != 0) {
    if (f.directory > h.directories.size()) return std::nullopt;
    dir = std::filesystem::path(h.directories[static_cast<size_t>(f.directory - 1)]);
  }
  return (dir / name).lexically_normal().string();
}

// The bytes file_path() works through for file `index`: its name and every directory it may
// join, so that a caller can bound the work before doing it.
uint64_t path_cost(const UnitHeader& h, uint64_t index) {
  const bool v5 = h.version >= 5;
  const uint64_t slot = v5 ? index : index - 1;
  if ((!v5 && index == 0) || slot >= h.files.size()) return 0;
  const FileEntry& f = h.files[static_cast<size_t>(slot)];
  uint64_t cost = f.name.size();
  if (!h.directories.empty()) cost += h.directories[0].size();
  const uint64_t dir = v5 ? f.directory : f.directory - 1;
  if (f.directory != 0 && dir < h.directories.size()) {
    cost += h.directories[static_cast<size_t>(dir)].size();
  }
  return cost;
}

// Interns paths so that each distinct one has one index in the table, and bounds the work of
// resolving them over all units.
class FileTable {
 public:
  explicit FileTable(std::vector<std::string>& files) : files_(files) {
    for (uint32_t i = 0; i < files_.size(); ++i) index_.emplace(files_[i], i);
  }
  // The table index of file `index` of the unit; none when the unit has no such file.
  Expected<std::optional<uint32_t>> resolve(const UnitHeader& h, uint64_t index) {
    const uint64_t cost = path_cost(h, index);
    if (cost > kMaxPathLength) {
      return Error{"file " + std::to_string(index) + " names a path of " + std::to_string(cost) +
                   " bytes with its directories, more than " + std::to_string(kMaxPathLength)};
    }
    resolved_bytes_ += cost;
    if (resolved_bytes_ > kMaxPathBytes) {
      return Error{"the file names the rows use add up to more than " + hex(kMaxPathBytes) +
                   " bytes"};
    }
    const auto path = file_path(h, index);
    if (!path) return std::optional<uint32_t>();
    const auto [it, added] = index_.emplace(*path, static_cast<uint32_t>(files_.size()));
    if (added) files_.push_back(*path);
    return std::optional(it->second);
  }

 private:
  std::vector<std::string>& files_;
  std::map<std::string, uint32_t> index_;
  uint64_t resolved_bytes_ = 0;
};

Expected<UnitHeader> read_header(Cursor& c, size_t offset_size, StringSections& strings) {
  UnitHeader h;
  h.offset_size = offset_size;
  h.version = c.u16();
  if (c.failed()) return Error{"the unit ends inside its header"};
  if (h.version < 2 || h.version > 5) {
    return Error{"version " + std::to_string(h.version) + " is not DWARF 2 to 5"};
  }
  if (h.version >= 5) {
    const uint8_t address_size = c.u8();
    c.u8();  // segment selector size
    if (address_size != 4 && address_size != 8) return Error{"the address size is not 4 or 8"};
  }
  const uint64_t header_length = c.sized(offset_size);
  if (c.failed() || header_length > c.remaining()) {
    return Error{"the header length runs past the unit"};
  }
  const size_t program_start = c.offset() + static_cast<size_t>(header_length);
  h.min_instruction_length = c.u8();
  if (h.version >= 4) c.u8();  // maximum operations per instruction: 1 on x86
  h.default_is_stmt = c.u8() != 0;
  h.line_base = static_cast<int8_t>(c.u8());
  h.line_range = c.u8();
  h.opcode_base = c.u8();
  if (c.failed()) return Error{"the unit ends inside its header"};
  if (h.line_range == 0) return Error{"the line range is zero"};
  if (h.opcode_base == 0) return Error{"the opcode base is zero"};
  h.standard_lengths.resize(h.opcode_base - 1u);
  for (auto& n : h.standard_lengths) n = c.u8();
  if (h.version >= 5) {
    auto dirs = read_entry_table(c, offset_size, strings);
    if (!dirs) return dirs.error();
    for (const auto& d : *dirs) h.directories.push_back(d.name);
    auto files = read_entry_table(c, offset_size, strings);
    if (!files) return files.error();
    h.files = std::move(*files);
  } else {
    while (true) {
      const std::string_view dir = c.cstring();
      if (c.failed() || dir.empty()) break;
      if (h.directories.size() == kMaxEntries) return Error{"the unit names too many directories"};
      h.directories.push_back(dir);
    }
    while (true) {
      FileEntry f{c.cstring(), 0};
      if (c.failed() || f.name.empty()) break;
      f.directory = c.uleb();
      c.uleb();  // modification time
      c.uleb();  // length
      if (h.files.size() == kMaxEntries) return Error{"the unit names too many files"};
      h.files.push_back(f);
    }
  }
  if (c.failed() || c.offset() > program_start) return Error{"the header runs past its length"};
  c.skip(program_start - c.offset());
  return h;
}

// Runs one unit's line-number program over `program`, appending the ranges `filter` keeps to
// `table`. Rows stream: only the previous row of the sequence is held, as a range needs no more
// than its own row and the next one's address.
Expected<void> run_program(Cursor& c, UnitHeader& h, FileTable& files, const LineFilter& filter,
                           LineTable& table) {
  struct Row {
    uint64_t address = 0;
    uint64_t file = 1;
    int64_t line = 1;
  };
  Row state;
  std::optional<Row> previous;            // the sequence's last row so far
  std::map<uint64_t, uint32_t> interned;  // unit file number -> table index
  auto file_index = [&](uint64_t unit_file) -> Expected<uint32_t> {
    if (auto it = interned.find(unit_file); it != interned.end()) return it->second;
    auto index = files.resolve(h, unit_file);
    if (!index) return index.error();
    if (!*index) {
      return Error{"a row names file " + std::to_string(unit_file) + ", not in the table"};
    }
    interned.emplace(unit_file, **index);
    return **index;
  };
  // The previous row's range, now that the next row says where it ends.
  auto close = [&](uint64_t end) -> Expected<void> {
    const Row& row = *previous;
    // Rows at one address leave nothing; linkers mark the sequences of discarded code with an
    // address at the top of the space (a "tombstone"): such rows describe nothing in the image.
    if (end == row.address || end > UINT32_MAX) return {};
    const auto begin = static_cast<uint32_t>(row.address);
    if (filter.keep && !filter.keep(begin, static_cast<uint32_t>(end))) return {};
    if (table.ranges.size() >= filter.max_ranges) {
      return Error{"the rows give more than " + std::to_string(filter.max_ranges) +
                   " ranges in the code"};
    }
    const auto file = file_index(row.file);
    if (!file) return file.error();
    table.ranges.push_back(
        {begin, static_cast<uint32_t>(end), *file, static_cast<uint32_t>(row.line)});
    return {};
  };
  auto emit = [&]() -> Expected<void> {
    if (state.line < 0 || state.line > UINT32_MAX) return Error{"a row has no valid line number"};
    if (previous) {
      if (state.address < previous->address) {
        return Error{"addresses go backwards inside a sequence"};
      }
      if (auto r = close(state.address); !r) return r;
    }
    previous = state;
    return {};
  };
  auto end_sequence = [&]() -> Expected<void> {
    if (auto r = emit(); !r) return r;
    state = Row{};
    previous.reset();
    return {};
  };
  // Operands are clamped so that the sums below cannot wrap; the range check after each opcode
  // then rejects the program.
  constexpr uint64_t kMaxStep = uint64_t{1} << 40;
  auto advance = [&](uint64_t operation_advance) {
    state.address += std::min(operation_advance, kMaxStep) * h.min_instruction_length;
  };

  while (!c.at_end()) {
    const uint8_t opcode = c.u8();
    if (opcode >= h.opcode_base) {
      const int adjusted = opcode - h.opcode_base;
      advance(static_cast<uint64_t>(adjusted / h.line_range));
      state.line += h.line_base + adjusted % h.line_range;
      if (auto r = emit(); !r) return r;
      continue;
    }
    switch (opcode) {
      case 0: {  // extended opcode
        const uint64_t length = c.uleb();
        if (c.failed() || length == 0 || length > c.remaining()) {
          return Error{"an extended opcode runs past the unit"};
        }
        const size_t end = c.offset() + static_cast<size_t>(length);
        const uint8_t sub = c.u8();
        if (sub == 1) {  // DW_LNE_end_sequence
          if (auto r = end_sequence(); !r) return r;
        } else if (sub == 2) {  // DW_LNE_set_address
          const size_t size = static_cast<size_t>(length - 1);
          if (size != 4 && size != 8) return Error{"DW_LNE_set_address is not 4 or 8 bytes"};
          state.address = c.sized(size);
        } else if (sub == 3 && h.version <= 4) {  // DW_LNE_define_file
          FileEntry f{c.cstring(), c.uleb()};
          if (h.files.size() == kMaxEntries) return Error{"the unit defines too many files"};
          h.files.push_back(f);
        }
        // DW_LNE_set_discriminator and vendor opcodes change nothing this reader keeps.
        if (c.failed() || c.offset() > end) return Error{"an extended opcode overruns its length"};
        c.skip(end - c.offset());
        break;
      }
      case 1:  // DW_LNS_copy
        if (auto r = emit(); !r) return r;
        break;
      case 2:
        advance(c.uleb());
        break;  // DW_LNS_advance_pc
      case 3:   // DW_LNS_advance_line
        state.line +=
            std::clamp(c.sleb(), -static_cast<int64_t>(kMaxStep), static_cast<int64_t>(kMaxStep));
        break;
      case 4:
        state.file = c.uleb();
        break;  // DW_LNS_set_file
      case 8:   // DW_LNS_const_add_pc
        advance(static_cast<uint64_t>((255 - h.opcode_base) / h.line_range));
        break;
      case 9:
        state.address += c.u16();
        break;  // DW_LNS_fixed_advance_pc
      default:
        // DW_LNS_set_column, negate_stmt, set_basic_block, prologue_end, epilogue_begin,
        // set_isa and opcodes of later versions: skip the operands the header says they take.
        for (uint8_t i = 0; i < h.standard_lengths[opcode - 1u]; ++i) c.uleb();
        break;
    }
    if (c.failed()) return Error{"an opcode runs past the unit"};
    if (state.address > kMaxStep * 2 || state.line > static_cast<int64_t>(kMaxStep) ||
        state.line < -static_cast<int64_t>(kMaxStep)) {
      return Error{"the program drives the address or line out of range"};
    }
  }
  // A program that stops without DW_LNE_end_sequence leaves its last rows without an end:
  // nothing says how far they reach, so they give no ranges.
  return {};
}

}  // namespace

Expected<LineTable> read_line_table(std::span<const uint8_t> debug_line,
                                    const DwarfStrings& strings, const LineFilter& filter) {
  LineTable table;
  FileTable files(table.files);
  StringSections names(strings);
  size_t unit_offset = 0;
  while (unit_offset < debug_line.size()) {
    Cursor c(debug_line.subspan(unit_offset));
    uint64_t length = c.u32();
    size_t offset_size = 4;
    if (length == 0xFFFFFFFF) {
      length = c.u64();
      offset_size = 8;
    }
    if (c.failed() || length > c.remaining()) {
      return Error{at_offset(unit_offset) + ": the unit length runs past .debug_line"};
    }
    const size_t header_bytes = c.offset();
    Cursor unit(debug_line.subspan(unit_offset + header_bytes, static_cast<size_t>(length)));
    auto header = read_header(unit, offset_size, names);
    if (!header) return Error{at_offset(unit_offset) + ": " + header.error().message};
    if (auto r = run_program(unit, *header, files, filter, table); !r) {
      return Error{at_offset(unit_offset) + ": " + r.error().message};
    }
    unit_offset += header_bytes + static_cast<size_t>(length);
  }
  return table;
}

}  // namespace peiboard
