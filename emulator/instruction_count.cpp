#include "instruction_count.h"

#include <capstone/capstone.h>

#include <stdexcept>

namespace peiboard {

InstructionCounting::InstructionCounting() {
  csh handle = 0;
  if (cs_open(CS_ARCH_X86, CS_MODE_32, &handle) != CS_ERR_OK) {
    throw std::runtime_error("cannot open the disassembler");
  }
  handle_ = handle;
}

InstructionCounting::~InstructionCounting() {
  csh handle = handle_;
  cs_close(&handle);
}

uint32_t InstructionCounting::count(uint32_t address, std::span<const uint8_t> bytes) const {
  cs_insn* insn = cs_malloc(handle_);
  if (insn == nullptr) throw std::bad_alloc();
  const uint8_t* code = bytes.data();
  size_t size = bytes.size();
  uint64_t at = address;
  uint32_t count = 0;
  while (size > 0) {
    if (!cs_disasm_iter(handle_, &code, &size, &at, insn)) {
      ++count;  // the engine stops a block at an undecodable instruction: it is the last
      break;
    }
    ++count;
  }
  cs_free(insn, 1);
  return count;
}

}  // namespace peiboard
