// The lld-link map of the module: the address the image was linked for and the names of its
// routines and data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "expected.h"

namespace peiboard {

struct Symbol {
  std::string name;  // without the leading underscore of the C decoration
  uint32_t address = 0;
  uint32_t line = 0;  // of the map's row that names it (from 1), 0 when no map did
};

struct LinkMap {
  std::optional<uint32_t> preferred_base;  // "Preferred load address is ..."
  std::vector<Symbol> symbols;             // C-linkage names, sorted by address
  std::string source;                      // the map's name, as its errors give it
};

// Reads the map's "Preferred load address" line and the rows of its "Publics by Value" and
// "Static symbols" tables (" 0001:00000000  _Name  00000000fff00220  file.obj"). Rows of
// C++-decorated names are skipped. A row that does not have that shape, an address wider than
// 32 bits or a map with symbols but no preferred load address fails with "SOURCE:LINE: why".
Expected<LinkMap> parse_link_map(std::string_view text, std::string_view source);

}  // namespace peiboard
