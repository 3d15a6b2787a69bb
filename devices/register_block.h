// Registers as the board's devices declare them: a block of registers per configuration
// space or MMIO region, each register with its offset, width, write behaviour and reset value,
// and the table a device writes its registers down in.
//
// An access composes from the registers it covers, byte by byte: any width at any offset
// answers as the hardware would, and the bytes no register covers read the block's
// unmodelled value (0 in a present function's configuration space, all ones in MMIO).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace peiboard {

struct Scenario;

// How a register answers the guest.
enum class RegisterKind : uint8_t {
  kConstant,   // reads its value; writes are dropped (identity, straps, fuses)
  kReadWrite,  // keeps what is written (what firmware programs)
  kWriteOnce,  // keeps the first write, then locks (a lockable base address)
  kCustom,     // a routine answers reads and takes writes
};

struct Register {
  uint32_t offset = 0;
  unsigned width = 4;  // bytes
  RegisterKind kind = RegisterKind::kConstant;
  std::string name;
  uint64_t value = 0;                      // the reset value (not for kCustom)
  std::function<uint64_t()> on_read;       // kCustom
  std::function<void(uint64_t)> on_write;  // kCustom
};

// One register block: a function's configuration space, a PCR port, the PWRM block.
class RegisterBlock {
 public:
  RegisterBlock(std::string name, uint32_t size, uint8_t unmodelled_byte)
      : name_(std::move(name)), size_(size), unmodelled_byte_(unmodelled_byte) {}

  // Declares a register; it must not overlap another one and must fit the block.
  RegisterBlock& add(Register reg);
  // Declares the register, or gives the one already at its offset its value.
  RegisterBlock& define(Register reg);
  const std::string& name() const { return name_; }
  void set_name(std::string name) { name_ = std::move(name); }

  // What the guest sees. `modelled` tells whether every byte belonged to a register;
  // `blocked` whether a write was (wholly or partly) refused.
  struct Access {
    uint64_t value = 0;
    bool modelled = true;
    bool blocked = false;
    std::string registers;  // names of the registers touched, for the trace
  };
  Access read(uint32_t offset, unsigned width) const;
  Access write(uint32_t offset, unsigned width, uint64_t value);

  // Host-side view for tests and reports: the stored bytes, whatever the kind. set()
  // declares a constant register where none is.
  uint64_t get(uint32_t offset, unsigned width) const;
  void set(uint32_t offset, unsigned width, uint64_t value);

 private:
  struct State {
    Register declared;
    std::vector<uint8_t> bytes;  // current value, little-endian
    bool locked = false;         // kWriteOnce after its first write
  };
  const State* at(uint32_t offset, uint32_t* byte) const;
  State* at(uint32_t offset, uint32_t* byte);

  std::string name_;
  uint32_t size_;
  uint8_t unmodelled_byte_;
  std::vector<State> registers_;  // sorted by offset
};

// A PCI function's configuration space: 4 KiB, and the registers nobody modelled read 0, as
// reserved ones do.
inline constexpr uint32_t kConfigSpaceSize = 0x1000;
RegisterBlock config_space(std::string name);

// One row of a device's register table: the register and where its value at reset comes
// from (the scenario, or a fact of the hardware). `instance` tells apart the copies of a
// device the board has several of (root-port controllers, lanes).
struct RegisterSpec {
  uint32_t offset = 0;
  unsigned width = 4;  // bytes
  RegisterKind kind = RegisterKind::kConstant;
  const char* name = "";
  uint64_t (*reset)(const Scenario& scenario, unsigned instance) = nullptr;
};

// Declares every register of `table` in `block` with its reset value for `scenario`; a
// register already there (a function two controllers share) takes the value.
void declare(RegisterBlock& block, std::span<const RegisterSpec> table, const Scenario& scenario,
             unsigned instance = 0);

}  // namespace peiboard
