// The private configuration register (PCR) space: a 64 KiB register port per sideband
// endpoint, behind one window. The board models the ports the module reads (each
// root-port controller's function map, the HSIO lane owners) and keeps them read-only:
// what the module writes is dropped. A port nobody modelled reads all ones.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>

#include "register_block.h"

namespace peiboard {

class Pcr {
 public:
  static constexpr uint32_t kPortSize = 0x10000;
  // A register of several ports or offsets: `count` copies, the i-th at port + i *
  // port_stride, offset + i * offset_stride, its reset value that of instance i. The name
  // is the table's: the trace names a PCR access by port and offset, so the registers go
  // unnamed and a read spends nothing on names.
  struct Spec {
    uint8_t port = 0;
    uint16_t offset = 0;
    const char* name = "";
    uint32_t (*reset)(const Scenario& scenario, unsigned instance) = nullptr;
    unsigned count = 1;
    uint8_t port_stride = 0;
    uint16_t offset_stride = 0;
  };
  static std::span<const Spec> registers();

  // The device as the scenario has it at reset.
  explicit Pcr(const Scenario& scenario);
  // Declares (or changes) the 32-bit register holding `offset`.
  void set(uint8_t port, uint16_t offset, uint32_t value, std::string name = {});
  // The port's registers; null when the port is not modelled.
  const RegisterBlock* port(uint8_t port) const;

 private:
  std::map<uint8_t, RegisterBlock> ports_;
};

}  // namespace peiboard
