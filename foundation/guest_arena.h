// A bump allocator over a range of guest RAM: where the foundation and the stand-in PPIs put
// their tables, descriptors, HOB list and pool. It owns no memory (the machine does), only the
// next free address of its range, and labels what it places so fault reports can name it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "machine.h"

namespace peiboard {

// A bump allocator over a range of guest RAM. It never frees; reset() starts it over.
class GuestArena {
 public:
  GuestArena(Machine& machine, uint32_t base, uint32_t size)
      : machine_(machine), base_(base), end_(base + size), next_(base) {}
  // Room for `size` bytes at an `align`-aligned address, or nothing when it is full.
  std::optional<uint32_t> allocate(uint32_t size, uint32_t align = 8);
  // Allocates and copies; `label` names the bytes in fault reports. Running out is a bug
  // of the board (scenarios are checked against the capacity), so it throws.
  uint32_t place(std::span<const uint8_t> bytes, uint32_t align = 8, std::string label = {});
  uint32_t place_string(const std::string& text);
  uint32_t used() const { return next_ - base_; }
  uint32_t base() const { return base_; }
  uint32_t capacity() const { return end_ - base_; }
  void reset() { next_ = base_; }

 private:
  Machine& machine_;
  uint32_t base_, end_, next_;
};

}  // namespace peiboard
