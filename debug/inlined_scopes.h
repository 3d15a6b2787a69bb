// The inlined copies of routines a debug file's DWARF records (DW_TAG_inlined_subroutine),
// read with libdw: for each, the code it covers, the routine it is a copy of, and the call in
// the enclosing code it stands for.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "expected.h"

namespace peiboard {

// One address range of one inlined copy. `depth` counts the inlined copies around it (0: it
// was inlined straight into an out-of-line routine), so the ranges holding an address, by
// depth, run from the outermost inlining to the innermost.
struct InlinedScope {
  uint32_t begin = 0;
  uint32_t end = 0;
  uint32_t depth = 0;
  std::string routine;     // the inlined routine's name
  std::string call_file;   // where the call lies: relative to the unit's directory when under it
  uint32_t call_line = 0;  // 0 when the file does not say
};

// Reads every unit of the ELF file's .debug_info (the bytes are copied for libdw, which reads
// them in place). Only ranges that start inside `code` (the ranges [begin, end) of the code
// sections, sorted and disjoint) are kept; at most `max_ranges` of them, and names and paths
// together at most the file's size, else an error. A file without .debug_info has no inlined
// scopes.
Expected<std::vector<InlinedScope>> read_inlined_scopes(
    std::span<const uint8_t> elf, std::span<const std::pair<uint32_t, uint32_t>> code,
    size_t max_ranges);

}  // namespace peiboard
