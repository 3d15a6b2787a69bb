#include "disassembler.h"

#include <capstone/capstone.h>

#include <algorithm>

#include "format.h"

namespace peiboard {
namespace {

// Owns one Capstone handle and closes it.
class Handle {
 public:
  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (open_) cs_close(&handle_);
  }
  Expected<void> open(bool detail) {
    if (cs_open(CS_ARCH_X86, CS_MODE_32, &handle_) != CS_ERR_OK) {
      return Error{"the Capstone disassembler does not open for IA32"};
    }
    open_ = true;
    if (detail && cs_option(handle_, CS_OPT_DETAIL, CS_OPT_ON) != CS_ERR_OK) {
      return Error{"the Capstone disassembler gives no instruction details"};
    }
    return {};
  }
  csh get() const { return handle_; }

 private:
  csh handle_ = 0;
  bool open_ = false;
};

// One decoded instruction's storage, freed when the decoding ends.
class InsnBuffer {
 public:
  explicit InsnBuffer(csh handle) : insn_(cs_malloc(handle)) {}
  InsnBuffer(const InsnBuffer&) = delete;
  InsnBuffer& operator=(const InsnBuffer&) = delete;
  ~InsnBuffer() {
    if (insn_ != nullptr) cs_free(insn_, 1);
  }
  cs_insn* get() const { return insn_; }

 private:
  cs_insn* insn_;
};

bool is_conditional_branch(unsigned id) {
  switch (id) {
    case X86_INS_JAE:
    case X86_INS_JA:
    case X86_INS_JBE:
    case X86_INS_JB:
    case X86_INS_JCXZ:
    case X86_INS_JECXZ:
    case X86_INS_JE:
    case X86_INS_JGE:
    case X86_INS_JG:
    case X86_INS_JLE:
    case X86_INS_JL:
    case X86_INS_JNE:
    case X86_INS_JNO:
    case X86_INS_JNP:
    case X86_INS_JNS:
    case X86_INS_JO:
    case X86_INS_JP:
    case X86_INS_JS:
    case X86_INS_LOOP:
    case X86_INS_LOOPE:
    case X86_INS_LOOPNE:
      return true;
    default:
      return false;
  }
}

}  // namespace

struct Disassembler::Handles {
  Handle plain;     // no details: counting and text
  Handle detailed;  // operands: branch targets
};

Disassembler::Disassembler(std::unique_ptr<Handles> handles) : handles_(std::move(handles)) {}
Disassembler::Disassembler(Disassembler&&) noexcept = default;
Disassembler& Disassembler::operator=(Disassembler&&) noexcept = default;
Disassembler::~Disassembler() = default;

Expected<Disassembler> Disassembler::create() {
  auto handles = std::make_unique<Handles>();
  if (auto r = handles->plain.open(false); !r) return r.error();
  if (auto r = handles->detailed.open(true); !r) return r.error();
  return Disassembler(std::move(handles));
}

std::vector<Instruction> Disassembler::disassemble(uint32_t address, std::span<const uint8_t> bytes,
                                                   size_t count) const {
  std::vector<Instruction> out;
  InsnBuffer insn(handles_->plain.get());
  if (insn.get() == nullptr) return out;
  const uint8_t* code = bytes.data();
  size_t size = bytes.size();
  uint64_t at = address;
  while (out.size() < count &&
         cs_disasm_iter(handles_->plain.get(), &code, &size, &at, insn.get())) {
    std::string text = insn.get()->mnemonic;
    if (insn.get()->op_str[0] != '\0') text += std::string(" ") + insn.get()->op_str;
    out.push_back({static_cast<uint32_t>(insn.get()->address), insn.get()->size, std::move(text)});
  }
  return out;
}

std::optional<uint32_t> Disassembler::instruction_length(uint32_t address,
                                                         std::span<const uint8_t> bytes) const {
  const auto one = disassemble(address, bytes, 1);
  if (one.empty()) return std::nullopt;
  return one[0].length;
}

Expected<BlockShape> Disassembler::block_shape(uint32_t address,
                                               std::span<const uint8_t> bytes) const {
  if (bytes.empty()) return Error{"the block at " + hex(address, 8) + " is empty"};
  InsnBuffer insn(handles_->plain.get());
  if (insn.get() == nullptr) return Error{"no memory to decode an instruction"};
  const uint8_t* code = bytes.data();
  size_t size = bytes.size();
  uint64_t at = address;
  BlockShape shape;
  while (size > 0) {
    shape.last = static_cast<uint32_t>(at);
    if (!cs_disasm_iter(handles_->plain.get(), &code, &size, &at, insn.get())) {
      return Error{hex(shape.last, 8) + " holds no whole instruction inside the block at " +
                   hex(address, 8)};
    }
    ++shape.instructions;
  }
  return shape;
}

Expected<uint32_t> Disassembler::count_instructions(uint32_t address,
                                                    std::span<const uint8_t> bytes) const {
  auto shape = block_shape(address, bytes);
  if (!shape) return shape.error();
  return shape->instructions;
}

std::optional<ConditionalBranch> Disassembler::conditional_branch(
    uint32_t address, std::span<const uint8_t> bytes) const {
  InsnBuffer insn(handles_->detailed.get());
  if (insn.get() == nullptr) return std::nullopt;
  const uint8_t* code = bytes.data();
  size_t size = bytes.size();
  uint64_t at = address;
  if (!cs_disasm_iter(handles_->detailed.get(), &code, &size, &at, insn.get())) return std::nullopt;
  const cs_insn& i = *insn.get();
  if (!is_conditional_branch(i.id) || i.detail == nullptr || i.detail->x86.op_count < 1 ||
      i.detail->x86.operands[0].type != X86_OP_IMM) {
    return std::nullopt;
  }
  return ConditionalBranch{address, static_cast<uint32_t>(i.detail->x86.operands[0].imm),
                           static_cast<uint32_t>(address + i.size)};
}

}  // namespace peiboard
