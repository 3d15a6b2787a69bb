// The PCH as the module sees it: PCI configuration space decoded from the hardware's
// configuration window, the private configuration register (PCR) window, the PWRM block,
// and bus aborts wherever nothing decodes.
//
// Every device is declared as blocks of registers, each with its offset, width and kind;
// an access that no register covers is logged as unmodelled and reads as the hardware
// would (0 in a present function's configuration space, all ones in PCR and PWRM).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "log.h"
#include "memory_map.h"
#include "scenario.h"

namespace peiboard {

// Who made an access: the guest address answerable for it (the instruction, or for the
// host's own work on the guest's behalf, the block that called it).
using SiteOf = std::function<uint32_t()>;

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

class Chipset {
 public:
  Chipset(const Scenario& scenario, RunLog& log, SiteOf site_of);
  Chipset(const Chipset&) = delete;
  Chipset& operator=(const Chipset&) = delete;
  ~Chipset();

  // A guest access at an address no RAM claims: the windows decode it, else it is a bus
  // abort (reads all ones, writes dropped). Every access is logged.
  uint64_t read(uint32_t address, unsigned width);
  void write(uint32_t address, unsigned width, uint64_t value);

  // Configuration space by bus/device/function offset (bdf() above); null when absent.
  RegisterBlock* function(uint32_t bdf);
  RegisterBlock& add_function(uint32_t bdf, std::string name);
  // Declares (or changes) a 32-bit PCR register.
  void set_pcr(uint8_t port, uint16_t offset, uint32_t value);
  uint32_t pwrm_base() const { return pwrm_base_; }

 private:
  // Logs an access; `what` gives its description and is called only when tracing.
  template <class What>
  void log_access(bool write, uint32_t address, unsigned width, uint64_t value, What&& what);
  uint64_t read_ecam(uint32_t offset, unsigned width);
  void write_ecam(uint32_t offset, unsigned width, uint64_t value);
  uint64_t read_pcr(uint32_t offset, unsigned width);
  void write_pcr(uint32_t offset, unsigned width, uint64_t value);

  RunLog& log_;
  SiteOf site_of_;
  uint32_t ecam_base_;
  uint32_t pwrm_base_ = 0;  // 0: the PWRM block is not decoded
  std::map<uint32_t, RegisterBlock> functions_;
  std::map<uint8_t, RegisterBlock> pcr_ports_;
  RegisterBlock pwrm_;
};

}  // namespace peiboard
