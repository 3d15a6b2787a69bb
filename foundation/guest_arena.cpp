#include "guest_arena.h"

#include <stdexcept>
#include <utility>
#include <vector>

#include "format.h"

namespace peiboard {

std::optional<uint32_t> GuestArena::allocate(uint32_t size, uint32_t align) {
  const uint64_t at = (uint64_t{next_} + align - 1) & ~uint64_t{align - 1};
  if (at > end_ || size > end_ - at) return std::nullopt;
  next_ = static_cast<uint32_t>(at) + size;
  return static_cast<uint32_t>(at);
}

uint32_t GuestArena::place(std::span<const uint8_t> bytes, uint32_t align, std::string label) {
  auto at = allocate(static_cast<uint32_t>(bytes.size()), align);
  if (!at) {
    throw std::runtime_error("guest arena at " + hex(base_, 8) + " exhausted placing " +
                             std::to_string(bytes.size()) + " bytes");
  }
  machine_.write(*at, bytes);
  machine_.label(*at, static_cast<uint32_t>(bytes.size()), std::move(label));
  return *at;
}

uint32_t GuestArena::place_string(const std::string& text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return place(bytes, 1);
}

}  // namespace peiboard
