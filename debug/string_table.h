// NUL-terminated strings looked up by offset in a string section, each byte of the section
// scanned at most once however many names point into it: a table whose names all point into
// one long string costs the string's length, not that times the number of names.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string_view>

namespace peiboard {

class StringTable {
 public:
  explicit StringTable(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  // The string at `offset`, viewing the section; none when the offset lies outside it or the
  // string runs off its end.
  std::optional<std::string_view> at(uint64_t offset) {
    if (offset >= bytes_.size()) return std::nullopt;
    const auto start = static_cast<size_t>(offset);
    // Runs already scanned: [start, end] with end the NUL (or the section's size if none).
    auto next = ends_.upper_bound(start);
    size_t end = 0;
    if (next != ends_.begin() && std::prev(next)->second >= start) {
      end = std::prev(next)->second;
    } else {
      const size_t stop = next == ends_.end() ? bytes_.size() : next->first;
      const auto nul = std::find(bytes_.begin() + static_cast<ptrdiff_t>(start),
                                 bytes_.begin() + static_cast<ptrdiff_t>(stop), uint8_t{0});
      end = nul != bytes_.begin() + static_cast<ptrdiff_t>(stop)
                ? static_cast<size_t>(nul - bytes_.begin())
                : (next == ends_.end() ? bytes_.size() : next->second);
      ends_.emplace(start, end);
    }
    if (end >= bytes_.size()) return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(bytes_.data()) + start, end - start);
  }

 private:
  std::span<const uint8_t> bytes_;
  std::map<size_t, size_t> ends_;
};

}  // namespace peiboard
