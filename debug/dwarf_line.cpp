#include "dwarf_line.h"

#include <elfutils/libdw.h>
#include <libelf.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <span>
#include <unordered_map>

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
// The file paths of all units, added up, stay below this: libdw joins each file's directory
// and name up front, and both may point at one long string, so the table's bytes do not bound
// them.
constexpr uint64_t kMaxPathBytes = 4u << 20;
// One path, its name and the directories it joins, is at most this long (a system's longest
// path is 4096 bytes): longer ones would make every resolution cost megabytes.
constexpr uint64_t kMaxPathLength = 8192;

struct UnitHeader {
  uint16_t version = 0;
  std::vector<std::string_view> directories;  // as numbered by the unit's version
  std::vector<FileEntry> files;               // as numbered by the unit's version
};

std::string at_offset(size_t offset) { return "line table at " + hex(offset); }

// The string sections a DWARF 5 file table may point into; either may be empty.
struct DwarfStrings {
  std::span<const uint8_t> str;       // .debug_str
  std::span<const uint8_t> line_str;  // .debug_line_str
};

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

Expected<UnitHeader> read_header(Cursor& c, size_t offset_size, StringSections& strings) {
  UnitHeader h;
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
  c.u8();                      // minimum instruction length
  if (h.version >= 4) c.u8();  // maximum operations per instruction: 1 on x86
  c.u8();                      // default is_stmt
  c.u8();                      // line base
  const uint8_t line_range = c.u8();
  const uint8_t opcode_base = c.u8();
  if (c.failed()) return Error{"the unit ends inside its header"};
  if (line_range == 0) return Error{"the line range is zero"};
  if (opcode_base == 0) return Error{"the opcode base is zero"};
  c.skip(opcode_base - 1u);  // the standard opcodes' operand counts
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
  return h;
}

// The bytes libdw allocates for file `f`'s path: its name, joined (when relative) to its
// directory, which may itself be joined to the unit's directory.
uint64_t path_cost(const UnitHeader& h, const FileEntry& f) {
  const bool v5 = h.version >= 5;
  uint64_t cost = f.name.size();
  if (!h.directories.empty()) cost += h.directories[0].size();
  const uint64_t dir = v5 ? f.directory : f.directory - 1;
  if (f.directory != 0 && dir < h.directories.size()) {
    cost += h.directories[static_cast<size_t>(dir)].size();
  }
  return cost;
}

// Walks every unit's header, not its program: what libdw would build for the directory and
// file tables must stay small, whatever counts and strings the header claims.
Expected<void> check_headers(std::span<const uint8_t> debug_line, const DwarfStrings& strings) {
  StringSections names(strings);
  uint64_t path_bytes = 0;
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
    for (size_t i = 0; i < header->files.size(); ++i) {
      const uint64_t cost = path_cost(*header, header->files[i]);
      // Files are numbered as the unit's version numbers them.
      const size_t number = header->version >= 5 ? i : i + 1;
      if (cost > kMaxPathLength) {
        return Error{at_offset(unit_offset) + ": file " + std::to_string(number) +
                     " names a path of " + std::to_string(cost) +
                     " bytes with its directories, more than " + std::to_string(kMaxPathLength)};
      }
      path_bytes += cost;
      if (path_bytes > kMaxPathBytes) {
        return Error{at_offset(unit_offset) + ": the units' file names add up to more than " +
                     std::to_string(kMaxPathBytes >> 20) + " MiB"};
      }
    }
    unit_offset += header_bytes + static_cast<size_t>(length);
  }
  return {};
}

struct ElfCloser {
  void operator()(Elf* e) const { elf_end(e); }
};
struct DwarfCloser {
  void operator()(Dwarf* d) const { dwarf_end(d); }
};

// The path as the units record it: relative to the unit's directory when it lies beneath it.
std::string relative_path(const char* path, const char* unit_directory) {
  const std::filesystem::path p(path);
  if (p.is_absolute() && unit_directory != nullptr) {
    // A DWARF 4 unit no compilation unit claims has an empty directory, which libdw joins as
    // the root.
    const std::filesystem::path root(*unit_directory != '\0' ? unit_directory : "/");
    const auto rel = p.lexically_relative(root);
    if (!rel.empty() && *rel.begin() != "..") return rel.lexically_normal().string();
  }
  return p.lexically_normal().string();
}

std::string libdw_error() { return std::string("libdw: ") + dwarf_errmsg(-1); }

// Whether the ELF has a .debug_line whose unit headers are sound and whose size fits a
// module's, before libdw reads any of it.
Expected<void> check_debug_line(const ElfFile& elf) {
  const ElfSection* debug_line = elf.section(".debug_line");
  if (debug_line == nullptr) return Error{"the debug file has no .debug_line section"};
  DwarfStrings strings;
  if (const auto* s = elf.section(".debug_str")) strings.str = s->contents;
  if (const auto* s = elf.section(".debug_line_str")) strings.line_str = s->contents;
  if (auto checked = check_headers(debug_line->contents, strings); !checked) {
    return Error{".debug_line: " + checked.error().message};
  }
  if (debug_line->size > kMaxDebugLine) {
    return Error{".debug_line is " + std::to_string(debug_line->size) + " bytes, more than the " +
                 std::to_string(kMaxDebugLine >> 10) + " KiB a module's line table may have"};
  }
  return {};
}

// libdw's view of an ELF file, over a copy of its bytes that lives as long as the view (a
// moved vector keeps its buffer, so the session may move). Members end in reverse order:
// the DWARF reader before the ELF handle before the bytes.
struct LibdwSession {
  std::vector<char> bytes;
  std::unique_ptr<Elf, ElfCloser> elf;
  std::unique_ptr<Dwarf, DwarfCloser> dwarf;
};

// Opens the ELF's DWARF with libdw, or says why libelf or libdw refused it.
Expected<LibdwSession> open_libdw(const ElfFile& elf) {
  elf_version(EV_CURRENT);
  const auto bytes = elf.bytes();
  LibdwSession session{{bytes.begin(), bytes.end()}, nullptr, nullptr};
  session.elf.reset(elf_memory(session.bytes.data(), session.bytes.size()));
  if (!session.elf) return Error{std::string("libelf: ") + elf_errmsg(-1)};
  session.dwarf.reset(dwarf_begin_elf(session.elf.get(), DWARF_C_READ, nullptr));
  if (!session.dwarf) return Error{".debug_line: " + libdw_error()};
  return session;
}

// Gathers the rows of every unit into one table that names each file once, by its path.
class TableBuilder {
 public:
  explicit TableBuilder(const LineFilter& filter) : filter_(filter) {}

  // Adds the rows of the unit at `offset` that start in the code, each reaching to the next
  // row; fails on a row libdw cannot read or when the rows in the code outnumber the filter's
  // bound.
  Expected<void> add_unit(Dwarf_Off offset, Dwarf_Files* files, Dwarf_Lines* lines,
                          size_t line_count) {
    const char* const* dirs = nullptr;
    size_t dir_count = 0;
    const char* unit_directory =
        dwarf_getsrcdirs(files, &dirs, &dir_count) == 0 && dir_count > 0 ? dirs[0] : nullptr;
    std::unordered_map<const char*, uint32_t> interned;  // libdw's path -> files
    auto file_index = [&](const char* path) {
      if (auto it = interned.find(path); it != interned.end()) return it->second;
      const auto [it, added] =
          index_.emplace(relative_path(path, unit_directory), uint32_t(table_.files.size()));
      if (added) table_.files.push_back(it->first);
      interned.emplace(path, it->second);
      return it->second;
    };
    // libdw sorts the rows by address, an end of sequence before a row at the same address:
    // each row reaches to the next one.
    for (size_t i = 0; i < line_count; ++i) {
      Dwarf_Line* row = dwarf_onesrcline(lines, i);
      Dwarf_Addr address = 0;
      bool end = false;
      int line = 0;
      if (row == nullptr || dwarf_lineaddr(row, &address) != 0 ||
          dwarf_lineendsequence(row, &end) != 0 || dwarf_lineno(row, &line) != 0) {
        return Error{".debug_line: " + at_offset(offset) + ": " + libdw_error()};
      }
      // Linkers mark the rows of discarded code with an address at the top of the space (a
      // "tombstone"): such rows describe nothing in the image.
      if (end || address > UINT32_MAX) continue;
      const auto begin = static_cast<uint32_t>(address);
      if (filter_.keep && !filter_.keep(begin)) continue;
      // One link describes each code byte once: more rows than code bytes describe the same
      // code over and over.
      if (++rows_in_code_ > filter_.max_rows) {
        return Error{".debug_line: the rows give more than " + std::to_string(filter_.max_rows) +
                     " ranges in the code"};
      }
      Dwarf_Addr stop = 0;
      if (i + 1 == line_count || dwarf_lineaddr(dwarf_onesrcline(lines, i + 1), &stop) != 0 ||
          stop <= address || stop > UINT32_MAX) {
        continue;
      }
      const char* path = dwarf_linesrc(row, nullptr, nullptr);
      if (path == nullptr) return Error{".debug_line: a row names a file not in its table"};
      table_.ranges.push_back({begin, static_cast<uint32_t>(stop), file_index(path),
                               static_cast<uint32_t>(std::max(line, 0))});
    }
    return {};
  }

  LineTable take() && { return std::move(table_); }

 private:
  const LineFilter& filter_;
  LineTable table_;
  std::unordered_map<std::string, uint32_t> index_;  // path -> table_.files
  size_t rows_in_code_ = 0;
};

}  // namespace

Expected<LineTable> read_line_table(const ElfFile& elf, const LineFilter& filter) {
  if (auto checked = check_debug_line(elf); !checked) return checked.error();
  auto libdw = open_libdw(elf);
  if (!libdw) return libdw.error();

  TableBuilder builder(filter);
  Dwarf_Off offset = 0, next = 0;
  Dwarf_CU* cu = nullptr;
  while (true) {
    Dwarf_Files* files = nullptr;
    Dwarf_Lines* lines = nullptr;
    size_t file_count = 0, line_count = 0;
    const int status = dwarf_next_lines(libdw->dwarf.get(), offset, &next, &cu, &files, &file_count,
                                        &lines, &line_count);
    if (status == 1) break;
    if (status != 0) return Error{".debug_line: " + at_offset(offset) + ": " + libdw_error()};
    if (auto added = builder.add_unit(offset, files, lines, line_count); !added) {
      return added.error();
    }
    offset = next;
  }
  return std::move(builder).take();
}

}  // namespace peiboard
