#include "block_coverage.h"

namespace peiboard::fuzz {

bool CoverageMap::add_block(uint32_t offset, uint32_t size) {
  if (sizes_[offset] != 0) return false;
  sizes_[offset] = size == 0 ? 1 : size;
  ++block_count_;
  return true;
}

bool CoverageMap::add_edge(uint32_t slot) {
  if (edges_[slot] != 0) return false;
  edges_[slot] = 1;
  ++edge_count_;
  return true;
}

bool CoverageMap::add_edge(uint32_t slot, uint32_t from, uint32_t to) {
  if (!add_edge(slot)) return false;
  edge_list_.push_back({from, to});
  return true;
}

BootCoverage::BootCoverage(uint32_t image_base, uint32_t image_size)
    : image_base_(image_base),
      image_size_(image_size),
      seen_blocks_(image_size, 0),
      seen_edges_(CoverageMap::kEdgeSlots, 0) {}

void BootCoverage::start(const CoverageMap& known) {
  for (uint32_t b : touched_blocks_) seen_blocks_[b] = 0;
  for (uint32_t e : touched_edges_) seen_edges_[e] = 0;
  touched_blocks_.clear();
  touched_edges_.clear();
  new_blocks_.clear();
  new_edges_.clear();
  new_edge_blocks_.clear();
  known_ = &known;
  previous_ = kNoBlock;
}

void BootCoverage::on_block(uint32_t address, uint32_t size) {
  const uint32_t offset = address - image_base_;
  if (offset >= image_size_ || known_ == nullptr) return;  // not module code
  if (seen_blocks_[offset] == 0) {
    seen_blocks_[offset] = 1;
    touched_blocks_.push_back(offset);
    if (!known_->has_block(offset)) new_blocks_.push_back({offset, size});
  }
  const uint32_t slot = edge_slot(previous_, offset);
  if (seen_edges_[slot] == 0) {
    seen_edges_[slot] = 1;
    touched_edges_.push_back(slot);
    if (!known_->has_edge(slot)) {
      new_edges_.push_back(slot);
      new_edge_blocks_.push_back({previous_, offset});
    }
  }
  previous_ = offset;
}

}  // namespace peiboard::fuzz
