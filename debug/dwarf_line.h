// The module's line tables (.debug_line, DWARF 2 to 5) as libdw reads them, bounded first: the
// address ranges each source line covers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "elf_file.h"
#include "expected.h"

namespace peiboard {

// One row of a line table stretched to the next row: [begin, end) comes from line `line` of
// files[file].
struct LineRange {
  uint32_t begin = 0;
  uint32_t end = 0;
  uint32_t file = 0;
  uint32_t line = 0;
};

// A module's .debug_line is a few KiB (one row per few code bytes); libdw keeps about 100
// bytes for every row, one byte of the section each at worst, so a larger one is refused
// rather than read.
inline constexpr uint64_t kMaxDebugLine = 256u << 10;

struct LineTable {
  // Paths as the units record them: relative to the unit's compilation directory when the
  // file lies under it, else as written (absolute). One entry per distinct path.
  std::vector<std::string> files;
  // Every range with a nonzero length, each row reaching to the next in address order within
  // its unit (units may overlap).
  std::vector<LineRange> ranges;
};

// Which rows a reader wants, and how many it accepts: one that reads an image's lines keeps
// those in its code, and a table with more of them than the code has bytes describes the same
// code over and over.
struct LineFilter {
  std::function<bool(uint32_t address)> keep;  // empty: every row
  size_t max_rows = SIZE_MAX;
};

// The line tables of an ELF file's .debug_line, read by libdw. Before libdw sees them, each
// unit's header is checked, and refused with the unit's offset when malformed or when its
// directory and file tables would cost more than a module's (too many entries, a path longer
// than a system's, all paths adding up to megabytes); the section itself is refused beyond
// kMaxDebugLine bytes, as libdw holds every row of it. Fails too on what libdw finds
// malformed, and when the rows in the code exceed the filter's count.
Expected<LineTable> read_line_table(const ElfFile& elf, const LineFilter& filter = {});

}  // namespace peiboard
