#include "hob_builder.h"

#include <algorithm>
#include <stdexcept>

#include "bytes.h"
#include "memory_map.h"

namespace peiboard {

void HobBuilder::start() {
  if (!bytes_.empty()) return;
  // The handoff information table HOB opens every list the foundation builds.
  bytes_.assign(hob::kHandoffSize, 0);
  put16(bytes_, 0, 0x0001);
  put16(bytes_, 2, hob::kHandoffSize);
  bytes_[8] = 9;  // version
}

void HobBuilder::add_guid_hob(const Guid& name, std::span<const uint8_t> data,
                              std::optional<uint16_t> type, std::optional<uint16_t> length) {
  start();
  const size_t size = hob::kGuidHeaderSize + ((data.size() + 7) & ~size_t{7});
  if (size > hob::kMaxLength) throw std::invalid_argument("GUID HOB data too long");
  const size_t at = bytes_.size();
  bytes_.resize(at + size, 0);
  put16(bytes_, at, type.value_or(0x0004));
  put16(bytes_, at + 2, length.value_or(static_cast<uint16_t>(size)));
  std::copy(name.begin(), name.end(), bytes_.begin() + static_cast<long>(at + 8));
  std::copy(data.begin(), data.end(),
            bytes_.begin() + static_cast<long>(at + hob::kGuidHeaderSize));
}

uint32_t HobBuilder::place(GuestArena& arena, bool end) {
  start();
  if (end) {
    const size_t at = bytes_.size();
    bytes_.resize(at + hob::kEndSize, 0);
    put16(bytes_, at, 0xFFFF);
    put16(bytes_, at + 2, hob::kEndSize);
  }
  return arena.place(bytes_, 8, "HOB list");
}

}  // namespace peiboard
