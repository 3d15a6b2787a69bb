// The HOB list the foundation hands out through GetHobList. The builder owns the list's bytes
// while the board assembles it: the handoff information table that opens it, the GUID HOBs of
// the scenario, and the end-of-list HOB; place() copies the finished list into guest memory.
// A scenario may bend a HOB's header (type, length) or leave the end away to see how the
// module copes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "guest_arena.h"
#include "guid.h"

namespace peiboard {

class HobBuilder {
 public:
  // Appends a GUID HOB. `type` and `length`, when given, are written into the HOB's header in
  // place of 0x0004 and its true length. Throws std::invalid_argument past 0xFFF8 bytes.
  void add_guid_hob(const Guid& name, std::span<const uint8_t> data,
                    std::optional<uint16_t> type = {}, std::optional<uint16_t> length = {});
  // Copies the list into `arena`, closed with an end-of-list HOB when `end`, and gives its
  // address.
  uint32_t place(GuestArena& arena, bool end);

 private:
  void start();

  std::vector<uint8_t> bytes_;
};

}  // namespace peiboard
