// Where the module's code comes from: the debug file the firmware build writes next to the
// released image (an ELF copy whose code and data lie at the released image's addresses, with
// DWARF line tables and the link's symbol table) answers address -> routine+offset and
// file:line, and gives the full line table for coverage.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dwarf_line.h"
#include "expected.h"
#include "inlined_scopes.h"
#include "source_location.h"

namespace peiboard {

// A routine of the module: a function symbol of the link, its range reaching to the next one
// (or to the end of its section).
struct Routine {
  std::string name;  // as the module's source names it: without the leading '_' of the C ABI
  uint32_t address = 0;
  uint32_t size = 0;
};

// What the debug file says about one address. Each part is empty when the file does not know.
struct AddressInfo {
  std::optional<std::string> routine;
  uint32_t offset = 0;              // from the routine's first byte
  std::optional<std::string> file;  // relative to the firmware source tree (firmware/)
  uint32_t line = 0;
};

// One executable section of the debug file: bytes equal to the released image's.
struct CodeSection {
  std::string name;
  uint32_t address = 0;
  std::vector<uint8_t> bytes;
};

class SourceMap {
 public:
  // Debug files are read only up to this size.
  static constexpr uint64_t kMaxFileSize = 64u << 20;
  // A module's .debug_info is tens of KiB; libdw walks it whole for the inlined code, so a
  // larger one is refused rather than read.
  static constexpr uint64_t kMaxDebugInfo = 4u << 20;

  // Reads the debug file (ELF, i386, with .debug_line and .symtab; .debug_info, when there,
  // for the code the compiler inlined). Fails with a message that
  // starts with the path when the file is missing, is not such an ELF file, or its line table or
  // symbol table is corrupt; never crashes on any content. Time and memory grow with the file:
  // code sections may not overlap nor hold more bytes than the file, only line ranges in the
  // code are kept (at most one per code byte), routine names together fit in the file.
  static Expected<SourceMap> load(const std::filesystem::path& elf);
  // The same from bytes in memory.
  static Expected<SourceMap> parse(std::vector<uint8_t> elf);

  // Whether the file describes the image whose memory from `base` on is `memory` (laid out as
  // the debug file's addresses say): each code section lies inside it and holds its bytes.
  // Fails naming the first section that lies elsewhere or the first byte that differs. Nothing
  // of a file that fails may be trusted: its sizes and lines describe other code.
  Expected<void> describes(uint32_t base, std::span<const uint8_t> memory) const;

  // Routine, offset, file and line of the code byte at `address`.
  AddressInfo lookup(uint32_t address) const;
  // The source's levels at `address`, innermost first (see SourceLocation); empty when no
  // routine holds it.
  std::vector<SourceLocation> inline_chain(uint32_t address) const;
  // "Routine+0x1C (Pkg/File.cpp:57)": the offset is left out at a routine's first byte, the
  // parenthesis when no line is known, and the routine's place is the address in hex when no
  // routine holds it.
  std::string describe(uint32_t address) const;

  // The routine holding `address`, or none.
  const Routine* routine_at(uint32_t address) const;
  // The first byte of the routine with this name.
  std::optional<uint32_t> address_of(std::string_view routine) const;

  // Every code range with a source line (line 0, code the compiler made up, is left out),
  // sorted by address and not overlapping; LineRange::file indexes files().
  const std::vector<LineRange>& lines() const { return lines_; }
  const std::vector<std::string>& files() const { return files_; }
  // Every routine, sorted by address (then name).
  const std::vector<Routine>& routines() const { return routines_; }
  // The module's executable sections, as the debug file holds them.
  const std::vector<CodeSection>& code() const { return code_; }
  // The code section that holds `address`, or none.
  const CodeSection* code_section_at(uint32_t address) const;
  // Every range of code the compiler inlined, sorted by address (then depth).
  const std::vector<InlinedScope>& inlined() const { return inlined_; }
  // The image's entry point as the debug file records it.
  uint32_t entry_point() const { return entry_; }

 private:
  SourceMap() = default;

  std::vector<LineRange> lines_;
  std::vector<std::string> files_;
  std::vector<Routine> routines_;
  std::vector<CodeSection> code_;
  std::vector<InlinedScope> inlined_;
  uint32_t entry_ = 0;
};

}  // namespace peiboard
