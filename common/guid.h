// EFI_GUID values: the 16-byte memory layout that UEFI 2.x defines (the 32-bit and the two
// 16-bit fields little-endian, the last eight bytes in the order written) and its text form
// "C8D85E8C-DC1C-4F8C-ADA7-58C1D107A304".
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace peiboard {

using Guid = std::array<uint8_t, 16>;

// The GUID stored at `at` in a byte buffer, in its memory layout. The caller has checked bounds.
inline Guid guid_at(std::span<const uint8_t> bytes, size_t at) {
  Guid guid;
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), guid.size(), guid.begin());
  return guid;
}

// Parses the registry text form, hex digits in either case; nothing when the text has
// another shape.
std::optional<Guid> parse_guid(std::string_view text);

// A GUID the program itself names: a malformed text is a programming error, caught at
// compile time where the value is a constant expression.
consteval Guid guid_constant(std::string_view text);

// Upper-case text form.
std::string guid_text(const Guid& guid);

// ---- implementation of the compile-time parser ----
namespace detail {
constexpr int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
constexpr std::optional<Guid> parse_guid(std::string_view text) {
  constexpr std::string_view kShape = "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx";
  if (text.size() != kShape.size()) return std::nullopt;
  Guid written{};  // bytes in text order
  size_t nibbles = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (kShape[i] == '-') {
      if (text[i] != '-') return std::nullopt;
      continue;
    }
    const int digit = hex_digit(text[i]);
    if (digit < 0) return std::nullopt;
    uint8_t& byte = written[nibbles / 2];
    byte = static_cast<uint8_t>(byte << 4 | digit);
    ++nibbles;
  }
  // The first three fields are stored little-endian.
  constexpr size_t kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  Guid guid{};
  for (size_t i = 0; i < 16; ++i) guid[i] = written[kOrder[i]];
  return guid;
}
}  // namespace detail

inline std::optional<Guid> parse_guid(std::string_view text) { return detail::parse_guid(text); }

consteval Guid guid_constant(std::string_view text) {
  const auto guid = detail::parse_guid(text);
  if (!guid) throw "malformed GUID constant";  // not a constant expression: a compile error
  return *guid;
}

}  // namespace peiboard
