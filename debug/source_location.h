// What the source says about one address of the module's code, level by level.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace peiboard {

// One level of what the code at an address stands for in the source. An inline chain lists
// the code's own place first, then, for code the compiler inlined, the place it was inlined
// into, out to the routine the code lies in.
struct SourceLocation {
  // The routine the source names at this level; empty when no routine holds the address.
  std::string routine;
  // From the first byte of the routine holding the address; 0 for an inlined level, whose
  // code has no first byte of its own.
  uint32_t offset = 0;
  // Relative to the firmware source tree (firmware/) where it lies there; none when no line
  // is known. At the innermost level the line of the address; at an outer level the line of
  // the call that was inlined.
  std::optional<std::string> file;
  uint32_t line = 0;
  // This level's code was inlined into the next entry of the chain.
  bool inlined = false;

  bool operator==(const SourceLocation&) const = default;
};

}  // namespace peiboard
