#include "disassembler.h"

#include <capstone/capstone.h>

#include <algorithm>

#include "format.h"

namespace peiboard {
namespace {

// Owns one Capstone handle and the storage of the one instruction it decodes at a time.
class Handle {
 public:
  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (insn_ != nullptr) cs_free(insn_, 1);
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
    // Allocated once (after the detail option, which sizes it): decoding then allocates nothing.
    insn_ = cs_malloc(handle_);
    if (insn_ == nullptr) return Error{"no memory for the Capstone disassembler"};
    return {};
  }
  // Decodes the instruction at the start of `bytes` into insn(); false when there is none.
  bool decode(std::span<const uint8_t> bytes, uint64_t address) const {
    const uint8_t* code = bytes.data();
    size_t size = bytes.size();
    return cs_disasm_iter(handle_, &code, &size, &address, insn_);
  }
  const cs_insn& insn() const { return *insn_; }

 private:
  csh handle_ = 0;
  bool open_ = false;
  cs_insn* insn_ = nullptr;
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
  const Handle& h = handles_->plain;
  for (uint32_t at = 0; out.size() < count && h.decode(bytes.subspan(at), address + at);) {
    const cs_insn& i = h.insn();
    std::string text = i.mnemonic;
    if (i.op_str[0] != '\0') text += std::string(" ") + i.op_str;
    out.push_back({address + at, i.size, std::move(text)});
    at += i.size;
  }
  return out;
}

std::optional<uint32_t> Disassembler::instruction_length(uint32_t address,
                                                         std::span<const uint8_t> bytes) const {
  if (!handles_->plain.decode(bytes, address)) return std::nullopt;
  return handles_->plain.insn().size;
}

Expected<BlockShape> Disassembler::block_shape(uint32_t address,
                                               std::span<const uint8_t> bytes) const {
  if (bytes.empty()) return Error{"the block at " + hex(address, 8) + " is empty"};
  const Handle& h = handles_->plain;
  BlockShape shape;
  for (uint32_t at = 0; at < bytes.size(); at += h.insn().size) {
    shape.last = address + at;
    if (!h.decode(bytes.subspan(at), shape.last)) {
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

std::optional<FlowKind> Disassembler::flow_kind(uint32_t address,
                                                std::span<const uint8_t> bytes) const {
  const Handle& h = handles_->detailed;
  if (!h.decode(bytes, address)) return std::nullopt;
  const cs_insn& i = h.insn();
  if (is_conditional_branch(i.id)) return FlowKind::kConditional;
  if (i.detail == nullptr) return FlowKind::kNone;
  const auto in_group = [&](uint8_t group) {
    const auto* groups = i.detail->groups;
    return std::find(groups, groups + i.detail->groups_count, group) !=
           groups + i.detail->groups_count;
  };
  if (in_group(CS_GRP_CALL)) return FlowKind::kCall;
  if (in_group(CS_GRP_RET) || in_group(CS_GRP_IRET)) return FlowKind::kReturn;
  if (in_group(CS_GRP_INT)) return FlowKind::kInterrupt;
  if (in_group(CS_GRP_JUMP)) return FlowKind::kJump;
  return FlowKind::kNone;
}

std::optional<ConditionalBranch> Disassembler::conditional_branch(
    uint32_t address, std::span<const uint8_t> bytes) const {
  const Handle& h = handles_->detailed;
  if (!h.decode(bytes, address)) return std::nullopt;
  const cs_insn& i = h.insn();
  if (!is_conditional_branch(i.id) || i.detail == nullptr || i.detail->x86.op_count < 1 ||
      i.detail->x86.operands[0].type != X86_OP_IMM) {
    return std::nullopt;
  }
  return ConditionalBranch{address, static_cast<uint32_t>(i.detail->x86.operands[0].imm),
                           address + i.size};
}

}  // namespace peiboard
