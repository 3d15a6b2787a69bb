#include "register_block.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace peiboard {
namespace {

std::vector<uint8_t> le_bytes(uint64_t value, unsigned width) {
  std::vector<uint8_t> bytes(width);
  for (unsigned i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

uint64_t le_value(const std::vector<uint8_t>& bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes.size() && i < 8; ++i) value |= uint64_t{bytes[i]} << (8 * i);
  return value;
}

void append_name(std::string& names, const std::string& name) {
  if (name.empty() || names.find(name) != std::string::npos) return;
  names += (names.empty() ? "" : ", ") + name;
}

}  // namespace

RegisterBlock& RegisterBlock::add(Register reg) {
  if (reg.width == 0 || reg.width > 8 || reg.offset >= size_ || reg.width > size_ - reg.offset) {
    throw std::invalid_argument(name_ + ": register " + reg.name + " does not fit");
  }
  const auto at =
      std::lower_bound(registers_.begin(), registers_.end(), reg.offset,
                       [](const State& s, uint32_t o) { return s.declared.offset < o; });
  if ((at != registers_.end() && at->declared.offset < reg.offset + reg.width) ||
      (at != registers_.begin() &&
       std::prev(at)->declared.offset + std::prev(at)->declared.width > reg.offset)) {
    throw std::invalid_argument(name_ + ": register " + reg.name + " overlaps another");
  }
  State state;
  state.bytes = le_bytes(reg.value, reg.width);
  // A write-once register that already holds a value was programmed and locked before.
  state.locked = reg.kind == RegisterKind::kWriteOnce && reg.value != 0;
  state.declared = std::move(reg);
  registers_.insert(at, std::move(state));
  return *this;
}

const RegisterBlock::State* RegisterBlock::at(uint32_t offset, uint32_t* byte) const {
  auto it = std::upper_bound(registers_.begin(), registers_.end(), offset,
                             [](uint32_t o, const State& s) { return o < s.declared.offset; });
  if (it == registers_.begin()) return nullptr;
  --it;
  if (offset - it->declared.offset >= it->declared.width) return nullptr;
  *byte = offset - it->declared.offset;
  return &*it;
}

RegisterBlock::State* RegisterBlock::at(uint32_t offset, uint32_t* byte) {
  return const_cast<State*>(std::as_const(*this).at(offset, byte));
}

RegisterBlock::Access RegisterBlock::read(uint32_t offset, unsigned width) const {
  Access access;
  const State* custom = nullptr;
  uint64_t custom_value = 0;
  for (unsigned i = 0; i < width; ++i) {
    uint32_t byte = 0;
    const State* s = offset + i < size_ ? at(offset + i, &byte) : nullptr;
    uint8_t value = unmodelled_byte_;
    if (s == nullptr) {
      access.modelled = false;
    } else if (s->declared.kind == RegisterKind::kCustom) {
      if (custom != s) {  // one read of the register per access
        custom = s;
        custom_value = s->declared.on_read ? s->declared.on_read() : 0;
      }
      value = static_cast<uint8_t>(custom_value >> (8 * byte));
    } else {
      value = s->bytes[byte];
    }
    if (s) append_name(access.registers, s->declared.name);
    access.value |= uint64_t{value} << (8 * i);
  }
  return access;
}

RegisterBlock::Access RegisterBlock::write(uint32_t offset, unsigned width, uint64_t value) {
  Access access;
  access.value = value;
  std::vector<State*> touched;
  for (unsigned i = 0; i < width; ++i) {
    uint32_t byte = 0;
    State* s = offset + i < size_ ? at(offset + i, &byte) : nullptr;
    if (s == nullptr) {
      access.modelled = false;
      access.blocked = true;
      continue;
    }
    append_name(access.registers, s->declared.name);
    const uint8_t b = static_cast<uint8_t>(value >> (8 * i));
    switch (s->declared.kind) {
      case RegisterKind::kConstant:
        access.blocked = true;
        break;
      case RegisterKind::kWriteOnce:
        if (s->locked) {
          access.blocked = true;
          break;
        }
        s->bytes[byte] = b;
        touched.push_back(s);
        break;
      case RegisterKind::kReadWrite:
      case RegisterKind::kCustom:
        s->bytes[byte] = b;
        touched.push_back(s);
        break;
    }
  }
  for (State* s : touched) {
    if (s->declared.kind == RegisterKind::kWriteOnce) s->locked = true;
    if (s->declared.kind == RegisterKind::kCustom && s->declared.on_write) {
      s->declared.on_write(le_value(s->bytes));
    }
  }
  return access;
}

RegisterBlock& RegisterBlock::define(Register reg) {
  uint32_t byte = 0;
  State* s = at(reg.offset, &byte);
  if (s == nullptr) return add(std::move(reg));
  set(reg.offset, reg.width, reg.value);
  return *this;
}

uint64_t RegisterBlock::get(uint32_t offset, unsigned width) const {
  uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    uint32_t byte = 0;
    const State* s = offset + i < size_ ? at(offset + i, &byte) : nullptr;
    value |= uint64_t{s ? s->bytes[byte] : unmodelled_byte_} << (8 * i);
  }
  return value;
}

void RegisterBlock::set(uint32_t offset, unsigned width, uint64_t value) {
  for (unsigned i = 0; i < width; ++i) {
    uint32_t byte = 0;
    State* s = at(offset + i, &byte);
    if (s == nullptr) {
      // Host-side set where no register is: declare a constant byte there.
      add({offset + i, 1, RegisterKind::kConstant, {}, 0, {}, {}});
      s = at(offset + i, &byte);
    }
    s->bytes[byte] = static_cast<uint8_t>(value >> (8 * i));
  }
}

RegisterBlock config_space(std::string name) {
  return RegisterBlock(std::move(name), kConfigSpaceSize, 0x00);
}

void declare(RegisterBlock& block, std::span<const RegisterSpec> table, const Scenario& scenario,
             unsigned instance) {
  for (const RegisterSpec& r : table) {
    block.define({r.offset, r.width, r.kind, r.name, r.reset(scenario, instance), {}, {}});
  }
}

}  // namespace peiboard
