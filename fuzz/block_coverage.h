// Which module code the boots reached: basic blocks by their offset in the image, and edges
// (one module block followed by the next, across any host call between them) hashed into a
// fixed map. The machine's block observer feeds one boot's view; the campaign merges them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "machine.h"

namespace peiboard::fuzz {

class CoverageMap {
 public:
  static constexpr unsigned kEdgeBits = 18;
  static constexpr size_t kEdgeSlots = size_t{1} << kEdgeBits;

  explicit CoverageMap(uint32_t image_size) : sizes_(image_size, 0), edges_(kEdgeSlots, 0) {}

  bool has_block(uint32_t offset) const { return sizes_[offset] != 0; }
  bool has_edge(uint32_t slot) const { return edges_[slot] != 0; }
  // Each gives true when the block or edge was not in the map before. A block is known by
  // where it starts; the size kept is the first one seen.
  bool add_block(uint32_t offset, uint32_t size);
  bool add_edge(uint32_t slot);
  // The same, keeping the blocks the edge joins (offsets) when the slot is new: the edges the
  // map can name, one per slot (two edges that share a slot keep the first).
  bool add_edge(uint32_t slot, uint32_t from, uint32_t to);
  struct Edge {
    uint32_t from, to;
  };
  const std::vector<Edge>& edge_list() const { return edge_list_; }
  size_t blocks() const { return block_count_; }
  size_t edges() const { return edge_count_; }
  // Bytes of the block starting at `offset`, 0 when none was reached there.
  uint32_t block_size(uint32_t offset) const { return sizes_[offset]; }
  size_t image_size() const { return sizes_.size(); }

 private:
  std::vector<uint32_t> sizes_;
  std::vector<uint8_t> edges_;
  std::vector<Edge> edge_list_;
  size_t block_count_ = 0;
  size_t edge_count_ = 0;
};

// One boot at a time: what it reached that a known map does not hold yet.
class BootCoverage final : public BlockObserver {
 public:
  BootCoverage(uint32_t image_base, uint32_t image_size);

  // Forgets the last boot; `known` must stay unchanged until the boot is over.
  void start(const CoverageMap& known);
  void on_block(uint32_t address, uint32_t size) override;

  struct Block {
    uint32_t offset, size;
  };
  // Blocks and edge slots of this boot missing from `known`, each once, in the order the
  // boot first reached them.
  const std::vector<Block>& new_blocks() const { return new_blocks_; }
  const std::vector<uint32_t>& new_edges() const { return new_edges_; }
  // The blocks each of new_edges() joins, in the same order (kNoBlock: from the boot's start).
  const std::vector<CoverageMap::Edge>& new_edge_blocks() const { return new_edge_blocks_; }
  static constexpr uint32_t kNoBlock = 0xFFFFFFFF;

  // The map slot of the edge from the block at offset `from` to the one at `to`.
  static uint32_t edge_slot(uint32_t from, uint32_t to) {
    return ((from * 0x9E3779B1u) ^ (to * 0x85EBCA77u)) >> (32 - CoverageMap::kEdgeBits);
  }

 private:
  uint32_t image_base_;
  uint32_t image_size_;
  const CoverageMap* known_ = nullptr;
  uint32_t previous_ = kNoBlock;
  std::vector<uint8_t> seen_blocks_;  // this boot's, cleared through the lists below
  std::vector<uint8_t> seen_edges_;
  std::vector<uint32_t> touched_blocks_;
  std::vector<uint32_t> touched_edges_;
  std::vector<Block> new_blocks_;
  std::vector<uint32_t> new_edges_;
  std::vector<CoverageMap::Edge> new_edge_blocks_;
};

}  // namespace peiboard::fuzz
