// IA32 instructions of the module's code, decoded by Capstone: text, lengths, counts per basic
// block, and the two ways out of a conditional branch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "expected.h"

namespace peiboard {

struct Instruction {
  uint32_t address = 0;
  uint32_t length = 0;
  std::string text;  // destination first: "mov eax, dword ptr [ebp + 8]"
};

// A conditional branch (Jcc, JECXZ, LOOP, LOOPE, LOOPNE) and where it goes either way.
struct ConditionalBranch {
  uint32_t address = 0;
  uint32_t taken = 0;         // the branch target
  uint32_t fall_through = 0;  // the next instruction
};

// How an instruction passes control on: to the next instruction (kNone), or by a conditional
// branch, a jump, a call, a return (RET, IRET) or an interrupt (INT, INT3, INTO), direct or not.
enum class FlowKind : uint8_t { kNone, kConditional, kJump, kCall, kReturn, kInterrupt };

// A run of whole instructions: how many, and where the last one starts.
struct BlockShape {
  uint32_t instructions = 0;
  uint32_t last = 0;
};

// In every call `bytes` are the bytes at `address` (guest code as it lies in memory); nothing is
// read past them. Not for use by two threads at once.
class Disassembler {
 public:
  static Expected<Disassembler> create();
  Disassembler(Disassembler&&) noexcept;
  Disassembler& operator=(Disassembler&&) noexcept;
  ~Disassembler();

  // Up to `count` instructions from the start of `bytes`, stopping early at bytes that are no
  // instruction or at an instruction cut off by the end of `bytes`.
  std::vector<Instruction> disassemble(uint32_t address, std::span<const uint8_t> bytes,
                                       size_t count) const;
  // Length of the instruction at the start of `bytes`; none when they hold no whole one.
  std::optional<uint32_t> instruction_length(uint32_t address,
                                             std::span<const uint8_t> bytes) const;
  // Number of instructions in [address, address + bytes.size()) and where the last one starts.
  // Fails when the range is empty, holds bytes that are no instruction, or does not end at an
  // instruction boundary: a basic block the CPU ran always ends at one. Decodes each byte once
  // and keeps no instruction text, so it is cheap to call once per distinct block.
  Expected<BlockShape> block_shape(uint32_t address, std::span<const uint8_t> bytes) const;
  // The instruction count alone, as block_shape() finds it.
  Expected<uint32_t> count_instructions(uint32_t address, std::span<const uint8_t> bytes) const;
  // How the instruction at the start of `bytes` passes control on; none when they hold no whole
  // instruction.
  std::optional<FlowKind> flow_kind(uint32_t address, std::span<const uint8_t> bytes) const;
  // The instruction at the start of `bytes` when it is a conditional branch.
  std::optional<ConditionalBranch> conditional_branch(uint32_t address,
                                                      std::span<const uint8_t> bytes) const;

 private:
  struct Handles;
  explicit Disassembler(std::unique_ptr<Handles> handles);
  std::unique_ptr<Handles> handles_;
};

}  // namespace peiboard
