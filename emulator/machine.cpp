#include "machine.h"

#include <unicorn/unicorn.h>

#include <stdexcept>

namespace peiboard {
namespace {

// Every engine call goes through here: an engine error on the host side is a bug of the
// board model, not something the guest did, so it ends the run loudly.
void uce(uc_err error, const char* what) {
  if (error != UC_ERR_OK) {
    throw std::runtime_error(std::string("engine: ") + what + ": " + uc_strerror(error));
  }
}

constexpr uint8_t kRet = 0xC3;

struct Registers {
  static constexpr int kIds[] = {UC_X86_REG_EAX, UC_X86_REG_EBX,   UC_X86_REG_ECX, UC_X86_REG_EDX,
                                 UC_X86_REG_ESI, UC_X86_REG_EDI,   UC_X86_REG_EBP, UC_X86_REG_ESP,
                                 UC_X86_REG_EIP, UC_X86_REG_EFLAGS};
  uint32_t values[std::size(kIds)] = {};

  void save(uc_engine* uc) {
    for (size_t i = 0; i < std::size(kIds); ++i) uce(uc_reg_read(uc, kIds[i], &values[i]), "reg");
  }
  void restore(uc_engine* uc) const {
    for (size_t i = 0; i < std::size(kIds); ++i) {
      uce(uc_reg_write(uc, kIds[i], &values[i]), "reg");
    }
  }
};

std::string fault_kind(uc_err error) {
  switch (error) {
    case UC_ERR_READ_UNMAPPED:
      return "read unmapped";
    case UC_ERR_WRITE_UNMAPPED:
      return "write unmapped";
    case UC_ERR_FETCH_UNMAPPED:
      return "fetch unmapped";
    case UC_ERR_READ_PROT:
      return "read protected";
    case UC_ERR_WRITE_PROT:
      return "write protected";
    case UC_ERR_FETCH_PROT:
      return "fetch protected";
    case UC_ERR_READ_UNALIGNED:
      return "read unaligned";
    case UC_ERR_WRITE_UNALIGNED:
      return "write unaligned";
    case UC_ERR_INSN_INVALID:
      return "invalid instruction";
    case UC_ERR_EXCEPTION:
      return "cpu exception";
    default:
      return uc_strerror(error);
  }
}

}  // namespace

struct Machine::DeviceMapping {
  Machine* machine;
  MmioDevice* device;
};

class Machine::Frame final : public TrapFrame {
 public:
  explicit Frame(Machine& m) : m_(m), esp_(m.esp()) {}
  uint32_t arg(unsigned index) const override { return m_.read32(esp_ + 4 + 4 * index); }
  uint32_t args_address() const override { return esp_ + 4; }
  uint32_t return_address() const override { return m_.read32(esp_); }
  void set_result(uint32_t eax) override { uce(uc_reg_write(m_.uc_, UC_X86_REG_EAX, &eax), "eax"); }
  void set_result64(uint64_t value) override {
    const uint32_t lo = static_cast<uint32_t>(value), hi = static_cast<uint32_t>(value >> 32);
    uce(uc_reg_write(m_.uc_, UC_X86_REG_EAX, &lo), "eax");
    uce(uc_reg_write(m_.uc_, UC_X86_REG_EDX, &hi), "edx");
  }

 private:
  Machine& m_;
  uint32_t esp_;
};

Machine::Machine() {
  uce(uc_open(UC_ARCH_X86, UC_MODE_32, &uc_), "open");
  // The trap page holds one RET per trap: the host does the work in a code hook at the
  // trap address, and the guest's own RET returns to the caller with EAX set.
  uce(uc_mem_map(uc_, kTrapBase, kTrapPageSize, UC_PROT_READ | UC_PROT_EXEC), "map traps");
  const std::vector<uint8_t> rets(kTrapPageSize, kRet);
  write(kTrapBase, rets);

  uc_hook hook;
  uce(uc_hook_add(uc_, &hook, UC_HOOK_CODE,
                  reinterpret_cast<void*>(+[](uc_engine*, uint64_t address, uint32_t, void* self) {
                    static_cast<Machine*>(self)->on_trap(address);
                  }),
                  this, kTrapBase, kTrapBase + kTrapPageSize - 1),
      "trap hook");
  uce(uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID,
                  reinterpret_cast<void*>(+[](uc_engine*, uc_mem_type type, uint64_t address, int,
                                              int64_t, void* self) {
                    return static_cast<Machine*>(self)->on_invalid(type, address);
                  }),
                  this, 1, 0),
      "invalid hook");
  uce(uc_hook_add(uc_, &hook, UC_HOOK_INTR,
                  reinterpret_cast<void*>(+[](uc_engine*, uint32_t number, void* self) {
                    static_cast<Machine*>(self)->on_interrupt(number);
                  }),
                  this, 1, 0),
      "interrupt hook");
  return_trap_ = add_trap("return to host", [](TrapFrame&) {});
}

Machine::~Machine() { uc_close(uc_); }

void Machine::map_ram(uint32_t base, uint32_t size) {
  uce(uc_mem_map(uc_, base, size, UC_PROT_ALL), "map ram");
}

void Machine::map_device(uint32_t base, uint64_t size, MmioDevice& device) {
  devices_.push_back(std::make_unique<DeviceMapping>(DeviceMapping{this, &device}));
  uce(uc_mmio_map(
          uc_, base, size,
          +[](uc_engine*, uint64_t offset, unsigned width, void* user) -> uint64_t {
            return static_cast<DeviceMapping*>(user)->device->read(static_cast<uint32_t>(offset),
                                                                   width);
          },
          devices_.back().get(),
          +[](uc_engine*, uint64_t offset, unsigned width, uint64_t value, void* user) {
            static_cast<DeviceMapping*>(user)->device->write(static_cast<uint32_t>(offset), width,
                                                             value);
          },
          devices_.back().get()),
      "map device");
}

void Machine::unmap(uint32_t base, uint64_t size) { uce(uc_mem_unmap(uc_, base, size), "unmap"); }

void Machine::write(uint32_t address, std::span<const uint8_t> bytes) {
  uce(uc_mem_write(uc_, address, bytes.data(), bytes.size()), "write");
}

void Machine::read(uint32_t address, std::span<uint8_t> bytes) const {
  uce(uc_mem_read(uc_, address, bytes.data(), bytes.size()), "read");
}

std::vector<uint8_t> Machine::read(uint32_t address, uint32_t size) const {
  std::vector<uint8_t> bytes(size);
  read(address, bytes);
  return bytes;
}

uint8_t Machine::read8(uint32_t address) const {
  uint8_t b[1];
  read(address, b);
  return b[0];
}
uint16_t Machine::read16(uint32_t address) const {
  uint8_t b[2];
  read(address, b);
  return static_cast<uint16_t>(b[0] | b[1] << 8);
}
uint32_t Machine::read32(uint32_t address) const {
  return read16(address) | static_cast<uint32_t>(read16(address + 2)) << 16;
}
uint64_t Machine::read64(uint32_t address) const {
  return read32(address) | static_cast<uint64_t>(read32(address + 4)) << 32;
}
void Machine::write8(uint32_t address, uint8_t value) { write(address, {&value, 1}); }
void Machine::write16(uint32_t address, uint16_t value) {
  const uint8_t b[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  write(address, b);
}
void Machine::write32(uint32_t address, uint32_t value) {
  write16(address, static_cast<uint16_t>(value));
  write16(address + 2, static_cast<uint16_t>(value >> 16));
}

std::string Machine::read_cstring(uint32_t address, size_t limit) const {
  std::string text;
  for (size_t i = 0; i < limit; ++i) {
    uint8_t c = 0;
    if (uc_mem_read(uc_, address + i, &c, 1) != UC_ERR_OK || c == 0) break;
    text.push_back(static_cast<char>(c));
  }
  return text;
}

void Machine::set_idt(uint32_t base, uint16_t limit) {
  uc_x86_mmr idtr{};
  idtr.base = base;
  idtr.limit = limit;
  uce(uc_reg_write(uc_, UC_X86_REG_IDTR, &idtr), "idtr");
}

uint32_t Machine::eip() const {
  uint32_t v = 0;
  uce(uc_reg_read(uc_, UC_X86_REG_EIP, &v), "eip");
  return v;
}
uint32_t Machine::esp() const {
  uint32_t v = 0;
  uce(uc_reg_read(uc_, UC_X86_REG_ESP, &v), "esp");
  return v;
}
uint32_t Machine::eax() const {
  uint32_t v = 0;
  uce(uc_reg_read(uc_, UC_X86_REG_EAX, &v), "eax");
  return v;
}
uint32_t Machine::edx() const {
  uint32_t v = 0;
  uce(uc_reg_read(uc_, UC_X86_REG_EDX, &v), "edx");
  return v;
}

uint32_t Machine::add_trap(std::string name, TrapHandler handler) {
  const uint32_t address = kTrapBase + static_cast<uint32_t>(traps_.size()) * kTrapStride;
  if (address >= kTrapBase + kTrapPageSize) throw std::runtime_error("trap page full");
  traps_.push_back({std::move(name), std::move(handler)});
  return address;
}

const std::string* Machine::trap_name(uint32_t address) const {
  if (address < kTrapBase || (address - kTrapBase) % kTrapStride != 0) return nullptr;
  const size_t index = (address - kTrapBase) / kTrapStride;
  return index < traps_.size() ? &traps_[index].name : nullptr;
}

void Machine::count_instructions_in(uint32_t begin, uint32_t end) {
  uc_hook hook;
  uce(uc_hook_add(uc_, &hook, UC_HOOK_CODE,
                  reinterpret_cast<void*>(+[](uc_engine*, uint64_t address, uint32_t, void* self) {
                    static_cast<Machine*>(self)->on_code(address);
                  }),
                  this, begin, end - 1),
      "count hook");
}

void Machine::on_code(uint64_t address) {
  if (++instructions_ > budget_end_ && !pending_stop_) {
    stop(StopKind::kHang, {"instruction budget exhausted", static_cast<uint32_t>(address),
                           static_cast<uint32_t>(address)});
  }
}

void Machine::on_trap(uint64_t address) {
  if (pending_stop_) return;
  const uint32_t offset = static_cast<uint32_t>(address - kTrapBase);
  if (offset % kTrapStride != 0 || offset / kTrapStride >= traps_.size()) {
    stop(StopKind::kFault, {"call to an unused trap", static_cast<uint32_t>(address),
                            static_cast<uint32_t>(address)});
    return;
  }
  Frame frame(*this);
  const uint32_t sp = esp();
  const uint32_t return_to = read32(sp);
  traps_[offset / kTrapStride].handler(frame);
  if (pending_stop_) return;
  // The host performs the RET: after a nested call the engine would otherwise restart the
  // interrupted block at the trap address and run the handler a second time.
  const uint32_t new_sp = sp + 4;
  uce(uc_reg_write(uc_, UC_X86_REG_ESP, &new_sp), "esp");
  uce(uc_reg_write(uc_, UC_X86_REG_EIP, &return_to), "eip");
}

bool Machine::on_invalid(int type, uint64_t address) {
  static const char* const kinds[] = {"read", "write", "fetch"};
  const char* access = "access";
  switch (type) {
    case UC_MEM_READ_UNMAPPED:
    case UC_MEM_READ_PROT:
      access = kinds[0];
      break;
    case UC_MEM_WRITE_UNMAPPED:
    case UC_MEM_WRITE_PROT:
      access = kinds[1];
      break;
    case UC_MEM_FETCH_UNMAPPED:
    case UC_MEM_FETCH_PROT:
      access = kinds[2];
      break;
    default:
      break;
  }
  last_invalid_ =
      Fault{std::string(access) +
                (type == UC_MEM_READ_PROT || type == UC_MEM_WRITE_PROT || type == UC_MEM_FETCH_PROT
                     ? " protected"
                     : " unmapped"),
            static_cast<uint32_t>(address), eip()};
  return false;
}

void Machine::on_interrupt(uint32_t number) {
  stop(StopKind::kFault, {"cpu exception " + std::to_string(number), eip(), eip()});
}

void Machine::stop(StopKind kind, Fault fault) {
  if (!pending_stop_) pending_stop_ = StopInfo{kind, std::move(fault)};
  uc_emu_stop(uc_);
}

void Machine::halt(std::string reason, uint32_t at) {
  stop(StopKind::kHalted, {std::move(reason), at, at});
}

StopInfo Machine::call(uint32_t address, std::span<const uint32_t> args, uint64_t budget) {
  const bool outermost = depth_ == 0;
  Registers saved;
  uint32_t sp = stack_top_;
  if (outermost) {
    budget_end_ = instructions_ + budget;
    pending_stop_.reset();
  } else {
    saved.save(uc_);
    sp = (esp() - 64) & ~15u;  // below the interrupted frame, aligned
  }
  for (size_t i = args.size(); i-- > 0;) {
    sp -= 4;
    write32(sp, args[i]);
  }
  sp -= 4;
  write32(sp, return_trap_);
  uce(uc_reg_write(uc_, UC_X86_REG_ESP, &sp), "esp");
  ++depth_;
  last_invalid_.reset();
  const uc_err error = uc_emu_start(uc_, address, return_trap_, 0, 0);
  --depth_;
  if (error != UC_ERR_OK && !pending_stop_) {
    Fault fault = last_invalid_.value_or(Fault{fault_kind(error), eip(), eip()});
    pending_stop_ = StopInfo{StopKind::kFault, fault};
  }
  StopInfo result = pending_stop_.value_or(StopInfo{});
  if (!pending_stop_ && eip() != return_trap_) {
    result = StopInfo{StopKind::kFault, {"stopped outside the return trap", eip(), eip()}};
    pending_stop_ = result;
  }
  if (!outermost) {
    const uint32_t eax_value = eax(), edx_value = edx();
    saved.restore(uc_);
    // The nested routine's result stays readable through eax()/edx() for the handler.
    uce(uc_reg_write(uc_, UC_X86_REG_EAX, &eax_value), "eax");
    uce(uc_reg_write(uc_, UC_X86_REG_EDX, &edx_value), "edx");
    if (pending_stop_) uc_emu_stop(uc_);  // the outer run ends with the inner one
  }
  return result;
}

}  // namespace peiboard
