// The parts of a 32-bit little-endian x86 ELF file that the debug tools read: section headers
// with their contents, and the symbol table. Every offset and size is checked against the file,
// so a truncated or corrupt file is an Error, never an out-of-bounds read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "expected.h"

namespace peiboard {

struct ElfSection {
  std::string_view name;  // views the ElfFile's bytes, like the contents
  uint32_t type = 0;      // SHT_*
  uint32_t flags = 0;     // SHF_*
  uint32_t address = 0;
  uint32_t size = 0;
  uint32_t offset = 0;                // of the contents in the file
  std::span<const uint8_t> contents;  // empty for SHT_NOBITS; views the ElfFile's bytes

  bool allocated() const { return (flags & kAlloc) != 0; }
  bool executable() const { return (flags & kExecute) != 0; }

  static constexpr uint32_t kProgbits = 1;
  static constexpr uint32_t kSymtab = 2;
  static constexpr uint32_t kNobits = 8;
  static constexpr uint32_t kAlloc = 0x2;
  static constexpr uint32_t kExecute = 0x4;
};

struct ElfSymbol {
  std::string_view name;  // views the ElfFile's bytes: a name many symbols share is held once
  uint32_t value = 0;
  uint32_t size = 0;
  uint8_t type = 0;      // STT_*
  uint16_t section = 0;  // index into sections(), or a reserved SHN_* value

  static constexpr uint8_t kFunction = 2;
};

class ElfFile {
 public:
  static constexpr uint16_t kMachine386 = 3;

  // Parses an ELFCLASS32, little-endian, EM_386 file. Fails, naming what is wrong, on anything
  // else or on any header, section or symbol that does not lie inside the file.
  static Expected<ElfFile> parse(std::vector<uint8_t> bytes);

  ElfFile(ElfFile&&) noexcept = default;
  ElfFile& operator=(ElfFile&&) noexcept = default;
  ElfFile(const ElfFile&) = delete;
  ElfFile& operator=(const ElfFile&) = delete;

  uint32_t entry() const { return entry_; }
  std::span<const uint8_t> bytes() const { return bytes_; }
  const std::vector<ElfSection>& sections() const { return sections_; }
  const std::vector<ElfSymbol>& symbols() const { return symbols_; }  // in file order
  const ElfSection* section(std::string_view name) const;

 private:
  ElfFile() = default;

  // The section contents view these bytes: moving the vector keeps its buffer, so the spans stay
  // valid across moves of the ElfFile.
  std::vector<uint8_t> bytes_;
  uint32_t entry_ = 0;
  std::vector<ElfSection> sections_;
  std::vector<ElfSymbol> symbols_;
};

}  // namespace peiboard
