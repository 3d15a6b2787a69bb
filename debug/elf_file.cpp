#include "elf_file.h"

#include <algorithm>

#include "bytes.h"
#include "string_table.h"

namespace peiboard {
namespace {

constexpr size_t kElfHeaderSize = 52;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kSymbolSize = 16;
constexpr uint16_t kSectionIndexUndefined = 0;
constexpr uint16_t kSectionIndexReserved = 0xFF00;

bool fits(size_t file_size, uint64_t offset, uint64_t size) {
  return offset <= file_size && size <= file_size - offset;
}

// The NUL-terminated string at `offset` of a string table, or an error when it runs off the
// table's end.
Expected<std::string_view> string_at(StringTable& table, size_t table_size, uint32_t offset,
                                     const char* what) {
  if (offset >= table_size) return Error{std::string(what) + " name lies outside its table"};
  const auto name = table.at(offset);
  if (!name) return Error{std::string(what) + " name runs off its table"};
  return *name;
}

}  // namespace

const ElfSection* ElfFile::section(std::string_view name) const {
  for (const auto& s : sections_) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

Expected<ElfFile> ElfFile::parse(std::vector<uint8_t> bytes) {
  ElfFile file;
  file.bytes_ = std::move(bytes);
  const std::span<const uint8_t> b(file.bytes_);
  if (b.size() < kElfHeaderSize || b[0] != 0x7F || b[1] != 'E' || b[2] != 'L' || b[3] != 'F') {
    return Error{"not an ELF file"};
  }
  if (b[4] != 1 || b[5] != 1) return Error{"not a 32-bit little-endian ELF file"};
  if (get16(b, 18) != kMachine386) return Error{"not an i386 ELF file"};
  file.entry_ = get32(b, 24);
  const uint32_t shoff = get32(b, 32);
  const uint16_t shentsize = get16(b, 46);
  const uint16_t shnum = get16(b, 48);
  const uint16_t shstrndx = get16(b, 50);
  if (shnum == 0) return Error{"the ELF file has no section headers"};
  if (shentsize < kSectionHeaderSize) return Error{"ELF section headers are too small"};
  if (!fits(b.size(), shoff, uint64_t{shentsize} * shnum)) {
    return Error{"ELF section headers lie outside the file"};
  }
  if (shstrndx >= shnum) return Error{"ELF section name table index is out of range"};

  struct RawSection {
    uint32_t name, type, flags, address, offset, size, link;
  };
  std::vector<RawSection> raw;
  raw.reserve(shnum);
  for (uint32_t i = 0; i < shnum; ++i) {
    const size_t at = shoff + size_t{i} * shentsize;
    raw.push_back({get32(b, at), get32(b, at + 4), get32(b, at + 8), get32(b, at + 12),
                   get32(b, at + 16), get32(b, at + 20), get32(b, at + 24)});
  }
  auto contents = [&](const RawSection& s) -> Expected<std::span<const uint8_t>> {
    if (s.type == ElfSection::kNobits) return std::span<const uint8_t>();
    if (!fits(b.size(), s.offset, s.size)) {
      return Error{"an ELF section lies outside the file"};
    }
    return b.subspan(s.offset, s.size);
  };
  const auto names = contents(raw[shstrndx]);
  if (!names) return names.error();
  StringTable section_names(*names);
  for (const auto& s : raw) {
    auto name = string_at(section_names, names->size(), s.name, "a section");
    if (!name) return name.error();
    auto data = contents(s);
    if (!data) return Error{std::string(*name) + ": " + data.error().message};
    file.sections_.push_back({*name, s.type, s.flags, s.address, s.size, s.offset, *data});
  }

  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i].type != ElfSection::kSymtab) continue;
    if (raw[i].link >= raw.size()) return Error{"the symbol table names no string table"};
    const auto symbols = file.sections_[i].contents;
    const auto strings = file.sections_[raw[i].link].contents;
    StringTable names_of(strings);
    for (size_t at = 0; at + kSymbolSize <= symbols.size(); at += kSymbolSize) {
      auto name = string_at(names_of, strings.size(), get32(symbols, at), "a symbol");
      if (!name) return name.error();
      const uint16_t section = get16(symbols, at + 14);
      if (section != kSectionIndexUndefined && section < kSectionIndexReserved &&
          section >= raw.size()) {
        return Error{"symbol " + std::string(*name) + " names section " + std::to_string(section) +
                     ", which does not exist"};
      }
      file.symbols_.push_back({*name, get32(symbols, at + 4), get32(symbols, at + 8),
                               static_cast<uint8_t>(symbols[at + 12] & 0xF), section});
    }
  }
  return file;
}

}  // namespace peiboard
