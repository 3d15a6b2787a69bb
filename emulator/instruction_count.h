// Counts the instructions of a block of IA32 code, for the machine's instruction budget.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace peiboard {

class InstructionCounting {
 public:
  InstructionCounting();
  ~InstructionCounting();
  InstructionCounting(const InstructionCounting&) = delete;
  InstructionCounting& operator=(const InstructionCounting&) = delete;

  // The number of whole instructions that decode one after the other from the start of
  // `bytes` (at guest address `address`); a trailing undecodable byte counts as one.
  uint32_t count(uint32_t address, std::span<const uint8_t> bytes) const;

 private:
  size_t handle_ = 0;
};

}  // namespace peiboard
