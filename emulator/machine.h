// The CPU of the emulated board: one 32-bit x86 engine, its memory map, traps into the
// host and calls into the guest. This is the only file pair that includes the engine.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct uc_struct;

namespace peiboard {

// A device behind a range of guest addresses. Offsets are relative to the range's base;
// size is the access width in bytes (1, 2, 4 or 8).
class MmioDevice {
 public:
  virtual ~MmioDevice() = default;
  virtual uint64_t read(uint32_t offset, unsigned size) = 0;
  virtual void write(uint32_t offset, unsigned size, uint64_t value) = 0;
};

enum class StopKind : uint8_t {
  kReturned,  // the called routine returned to its return trap
  kFault,     // the engine could not go on (unmapped fetch, invalid instruction, exception)
  kHang,      // the instruction budget ran out
  kHalted,    // the host asked to stop (an assertion with halt_on_assert)
};

struct Fault {
  std::string kind;      // "read unmapped", "fetch unmapped", "invalid instruction", ...
  uint32_t address = 0;  // the data address for memory faults, else the instruction address
  uint32_t eip = 0;
};

struct StopInfo {
  StopKind kind = StopKind::kReturned;
  Fault fault;  // meaningful unless kReturned
};

// What a trap handler sees: the cdecl frame of the guest's call into the host.
class TrapFrame {
 public:
  virtual ~TrapFrame() = default;
  virtual uint32_t arg(unsigned index) const = 0;  // 32-bit argument slot, from 0
  virtual uint32_t args_address() const = 0;       // address of argument slot 0
  virtual uint32_t return_address() const = 0;
  virtual void set_result(uint32_t eax) = 0;
  virtual void set_result64(uint64_t edx_eax) = 0;
};

using TrapHandler = std::function<void(TrapFrame&)>;

class Machine {
 public:
  static constexpr uint32_t kTrapBase = 0x0F000000;
  static constexpr uint32_t kTrapPageSize = 0x4000;
  static constexpr uint32_t kTrapStride = 4;

  Machine();
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  void map_ram(uint32_t base, uint32_t size);
  // The device lives as long as the machine needs it: the caller keeps it alive.
  void map_device(uint32_t base, uint64_t size, MmioDevice& device);
  void unmap(uint32_t base, uint64_t size);

  void write(uint32_t address, std::span<const uint8_t> bytes);
  void read(uint32_t address, std::span<uint8_t> bytes) const;
  std::vector<uint8_t> read(uint32_t address, uint32_t size) const;
  uint8_t read8(uint32_t address) const;
  uint16_t read16(uint32_t address) const;
  uint32_t read32(uint32_t address) const;
  uint64_t read64(uint32_t address) const;
  void write8(uint32_t address, uint8_t value);
  void write16(uint32_t address, uint16_t value);
  void write32(uint32_t address, uint32_t value);
  std::string read_cstring(uint32_t address, size_t limit = 4096) const;

  void set_idt(uint32_t base, uint16_t limit);
  // Where the stack of an outermost call starts; it grows down from there.
  void set_stack_top(uint32_t top) { stack_top_ = top; }
  uint32_t eip() const;
  uint32_t esp() const;

  // Reserves a trap address: a guest `call` to it runs the handler, then returns to the
  // caller with EAX (and EDX) as the handler set them.
  uint32_t add_trap(std::string name, TrapHandler handler);
  const std::string* trap_name(uint32_t address) const;

  // Counts the instructions executed inside [begin, end); the budget applies to them.
  void count_instructions_in(uint32_t begin, uint32_t end);

  // Calls the guest routine at `address` with cdecl arguments and runs until it returns.
  // Calls nest: a trap handler may call into the guest again. The budget is for the
  // outermost call and covers the nested ones.
  StopInfo call(uint32_t address, std::span<const uint32_t> args, uint64_t budget);
  uint32_t eax() const;
  uint32_t edx() const;

  // Asks the running guest to stop at once; the outermost call returns kHalted with the
  // reason, placed at `at` (the guest address the host wants the stop blamed on).
  void halt(std::string reason, uint32_t at);
  uint64_t instructions() const { return instructions_; }
  int depth() const { return depth_; }

 private:
  struct Trap {
    std::string name;
    TrapHandler handler;
  };
  struct DeviceMapping;
  class Frame;
  void on_code(uint64_t address);
  void on_trap(uint64_t address);
  bool on_invalid(int type, uint64_t address);
  void on_interrupt(uint32_t number);
  void stop(StopKind kind, Fault fault);

  uc_struct* uc_ = nullptr;
  std::vector<std::unique_ptr<DeviceMapping>> devices_;
  std::vector<Trap> traps_;
  uint32_t return_trap_ = 0;
  uint32_t stack_top_ = 0;
  uint64_t instructions_ = 0;
  uint64_t budget_end_ = 0;
  int depth_ = 0;
  std::optional<StopInfo> pending_stop_;
  std::optional<Fault> last_invalid_;
};

}  // namespace peiboard
