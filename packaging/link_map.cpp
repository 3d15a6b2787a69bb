#include "link_map.h"

#include <algorithm>
#include <cctype>

namespace peiboard {
namespace {

constexpr size_t kMaxAddressDigits = 16;  // lld-link prints 64-bit addresses

std::vector<std::string_view> tokens_of(std::string_view line) {
  std::vector<std::string_view> tokens;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at]))) ++at;
    const size_t start = at;
    while (at < line.size() && !std::isspace(static_cast<unsigned char>(line[at]))) ++at;
    if (at > start) tokens.push_back(line.substr(start, at - start));
  }
  return tokens;
}

bool all_hex(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
  });
}

// "0001:00000a4c": a section number and an offset in it.
bool is_section_offset(std::string_view token) {
  return token.size() == 13 && token[4] == ':' && all_hex(token.substr(0, 4)) &&
         all_hex(token.substr(5));
}

// A 32-bit address written in hexadecimal, as wide as lld-link writes it.
Expected<uint32_t> parse_address(std::string_view token) {
  if (!all_hex(token)) return Error{"'" + std::string(token) + "' is not a hexadecimal address"};
  if (token.size() > kMaxAddressDigits) {
    return Error{"address '" + std::string(token) + "' is longer than " +
                 std::to_string(kMaxAddressDigits) + " hex digits"};
  }
  uint64_t value = 0;
  for (char c : token) {
    const int digit = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    value = value << 4 | static_cast<uint64_t>(digit);
  }
  if (value > 0xFFFFFFFFu) {
    return Error{"address '" + std::string(token) + "' does not fit in 32 bits"};
  }
  return static_cast<uint32_t>(value);
}

}  // namespace

Expected<LinkMap> parse_link_map(std::string_view text, std::string_view source) {
  enum class Table { kNone, kSections, kSymbols };
  LinkMap map;
  map.source = source;
  Table table = Table::kNone;
  size_t line_number = 0;
  size_t first_row_line = 0;
  auto located = [&](const std::string& why) {
    return Error{std::string(source) + ":" + std::to_string(line_number) + ": " + why};
  };
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    ++line_number;
    const auto tokens = tokens_of(line);
    if (tokens.empty()) continue;

    if (tokens.size() >= 4 && tokens[0] == "Preferred" && tokens[1] == "load" &&
        tokens[2] == "address" && tokens[3] == "is") {
      if (tokens.size() != 5) return located("malformed preferred load address line");
      if (map.preferred_base) return located("a second preferred load address");
      auto base = parse_address(tokens[4]);
      if (!base) return located(base.error().message);
      map.preferred_base = *base;
      continue;
    }
    if (tokens[0] == "Start" && tokens.size() >= 2 && tokens[1] == "Length") {
      table = Table::kSections;
      continue;
    }
    if ((tokens[0] == "Address" && tokens.size() >= 2 && tokens[1] == "Publics") ||
        (tokens[0] == "Static" && tokens.size() >= 2 && tokens[1] == "symbols")) {
      table = Table::kSymbols;
      continue;
    }
    // Rows start with a section:offset pair; other lines ("entry point at ...") are notes.
    if (table != Table::kSymbols || !std::isdigit(static_cast<unsigned char>(tokens[0][0]))) {
      continue;
    }
    if (!is_section_offset(tokens[0])) {
      return located("'" + std::string(tokens[0]) + "' is not a section:offset pair");
    }
    if (tokens.size() < 3) return located("symbol row without a name and an address");
    auto address = parse_address(tokens[2]);
    if (!address) return located(address.error().message);
    if (first_row_line == 0) first_row_line = line_number;
    const std::string_view name = tokens[1];
    if (name.size() < 2 || name[0] != '_') continue;  // C++-decorated: not a routine we call
    map.symbols.push_back(
        {std::string(name.substr(1)), *address, static_cast<uint32_t>(line_number)});
  }
  if (first_row_line != 0 && !map.preferred_base) {
    line_number = first_row_line;
    return located("symbol rows, but the map has no 'Preferred load address' line");
  }
  std::stable_sort(map.symbols.begin(), map.symbols.end(),
                   [](const Symbol& a, const Symbol& b) { return a.address < b.address; });
  return map;
}

}  // namespace peiboard
