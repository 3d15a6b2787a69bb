// The GDB remote serial protocol as text, with no board and no socket behind it: packet
// framing and checksums, the binary escape, the protocol's hex, the byte stream split into
// packets, acks and Ctrl-C, and the requests and replies the stub speaks parsed and formatted
// (address ranges, register blocks, stop replies, the target description). Everything here is
// a pure function of its arguments or, for PacketReader, of the bytes fed to it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "machine.h"

namespace peiboard::gdb {

// ---- Packet framing --------------------------------------------------------------------------

// The sum of the payload's bytes modulo 256.
uint8_t checksum(std::string_view payload);
// "$payload#cc". The payload is sent as given: binary data must be escaped first.
std::string frame(std::string_view payload);
// Binary data for a packet: '#', '$', '}' and '*' become '}' and the byte XOR 0x20.
std::string escape_binary(std::string_view bytes);
// The data escape_binary() made; none when the text ends inside an escape.
std::optional<std::string> unescape_binary(std::string_view escaped);
// Text as the protocol's hex: two lower-case digits per byte.
std::string hex_encode(std::string_view bytes);

// One thing the other side sent.
struct Incoming {
  enum class Kind : uint8_t {
    kPacket,       // "$payload#cc" with the right checksum; payload as sent (still escaped)
    kBadChecksum,  // a whole packet whose checksum does not match
    kInterrupt,    // the 0x03 byte outside a packet
    kAck,          // '+'
    kNack,         // '-': resend the last packet
  };
  Kind kind = Kind::kPacket;
  std::string payload;
};

// Splits a byte stream into what it holds, however the bytes are cut into reads. Bytes outside
// a packet that mean nothing are skipped; an unfinished packet waits for more bytes.
class PacketReader {
 public:
  // A packet longer than this is dropped whole: no client of ours sends one.
  static constexpr size_t kMaxPacket = 1 << 20;
  void feed(std::string_view bytes);
  std::optional<Incoming> next();

 private:
  std::string buffer_;
  size_t start_ = 0;  // bytes of buffer_ already consumed
};

// ---- Numbers ---------------------------------------------------------------------------------

// A number in hex, 1 to 8 digits.
std::optional<uint32_t> parse_hex32(std::string_view text);
// Bytes written as two hex digits each.
std::optional<std::string> parse_hex_bytes(std::string_view text);
// Two lower-case hex digits.
std::string hex_byte(unsigned value);
// A 32-bit register as the target's memory holds it: little-endian hex.
std::string le_hex(uint32_t value);
// The 32-bit little-endian value of the first four bytes.
uint32_t le_value(std::string_view bytes);
// An address as stop replies give it: plain hex digits.
std::string hex_number(uint32_t address);

// "addr,len" and what follows them after `tail` (':' for writes; '\0': nothing follows).
struct Range {
  uint32_t address = 0, length = 0;
  std::string_view rest;
};
std::optional<Range> parse_range(std::string_view text, char tail);

// ---- Registers -------------------------------------------------------------------------------

// GDB's i386 register numbers: the 16 core registers (eax ... gs, 4 bytes each), then the x87
// registers (st0 ... st7, 10 bytes each) and their 8 controls (4 bytes each).
inline constexpr size_t kCoreRegisters = 16;
inline constexpr size_t kX87Registers = 8;
inline constexpr size_t kX87Controls = 8;
inline constexpr size_t kX87Bytes = kX87Registers * 10 + kX87Controls * 4;
inline constexpr size_t kFirstSegment = 10;  // cs ... gs
static_assert(sizeof(CpuState) == kCoreRegisters * 4, "CpuState is the 16 core registers");

// Core register `n` (below kCoreRegisters) of a state.
uint32_t& core_register(CpuState& state, size_t n);
uint32_t core_register(const CpuState& state, size_t n);
bool same_registers(const CpuState& a, const CpuState& b);

// The g reply: the core registers, then the x87 ones as zeros.
std::string encode_registers(const CpuState& state);
// A G request's core registers, when it holds them all and its x87 part is zeros.
struct RegisterBlock {
  CpuState state;
  bool x87_zeros = false;  // the x87 part is all zeros
};
std::optional<RegisterBlock> decode_registers(std::string_view hex);
// The p reply for register `n`: its value, zeros for x87 ones, none past the last.
std::optional<std::string> encode_register(const CpuState& state, uint32_t n);

// ---- Replies ---------------------------------------------------------------------------------

// GDB's signal numbers, as stop replies carry them.
enum Signal : uint8_t { kSigInt = 2, kSigIll = 4, kSigTrap = 5, kSigFpe = 8, kSigSegv = 11 };

// "T<signal>" with EIP, ESP, EBP and the thread; `reason` names a breakpoint or watchpoint.
std::string stop_reply(Signal signal, const CpuState& state, std::string_view reason = {});
// The stop reason of a software breakpoint, and of a write watchpoint at `address`.
inline constexpr std::string_view kBreakpointStop = "swbreak:;";
std::string watch_stop(uint32_t address);
// "W<status>": the run is over.
std::string exit_reply(int exit_status);
// "O<hex>": text for the client's console.
std::string console_output(std::string_view text);
// The reply to qSupported.
inline constexpr std::string_view kSupported =
    "PacketSize=1000;qXfer:features:read+;swbreak+;QStartNoAckMode+";
// The reply to "qXfer:features:read:<request>" (annex:offset,length) from the target
// description: the registers the stub offers.
std::string features_reply(std::string_view request);

}  // namespace peiboard::gdb
