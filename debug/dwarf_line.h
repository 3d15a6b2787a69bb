// Reader of DWARF line-number programs (.debug_line, DWARF 2 to 5), as the DWARF 5 standard
// section 6.2 describes them: it runs every unit's program and hands back the address ranges
// each source line covers.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

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

struct LineTable {
  // Paths as the units record them: relative to the unit's compilation directory when the
  // file lies under it, else as written (absolute). One entry per distinct path.
  std::vector<std::string> files;
  // Every range of every sequence with a nonzero length, in the order the programs give them
  // (not sorted, possibly overlapping across units).
  std::vector<LineRange> ranges;
};

// The string sections a DWARF 5 file table may point into; either may be empty.
struct DwarfStrings {
  std::span<const uint8_t> str;       // .debug_str
  std::span<const uint8_t> line_str;  // .debug_line_str
};

// Which ranges a reader wants, and how many it accepts: one that reads an image's lines keeps
// those in its code, and a table that gives more of them than the code has bytes describes the
// same code over and over.
struct LineFilter {
  std::function<bool(uint32_t begin, uint32_t end)> keep;  // empty: every range
  size_t max_ranges = SIZE_MAX;
};

// Runs every line-number program in `debug_line`. Fails, naming the unit's offset, on a header
// or an opcode that is malformed, runs off its unit, or uses a form this reader does not know,
// and when the kept ranges exceed the filter's count. Memory is bounded by what is kept: rows
// stream, names view the sections, a unit's tables and the paths all units resolve are capped.
Expected<LineTable> read_line_table(std::span<const uint8_t> debug_line,
                                    const DwarfStrings& strings = {},
                                    const LineFilter& filter = {});

}  // namespace peiboard
