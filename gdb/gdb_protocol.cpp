#include "gdb_protocol.h"

#include <algorithm>
#include <cstdio>

namespace peiboard::gdb {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// The registers the stub offers: GDB's i386 core feature, in the order g replies list them.
constexpr const char* kTargetXml = R"(<?xml version="1.0"?>
<!DOCTYPE target SYSTEM "gdb-target.dtd">
<target version="1.0">
  <architecture>i386</architecture>
  <feature name="org.gnu.gdb.i386.core">
    <flags id="i386_eflags" size="4">
      <field name="CF" start="0" end="0"/>
      <field name="" start="1" end="1"/>
      <field name="PF" start="2" end="2"/>
      <field name="AF" start="4" end="4"/>
      <field name="ZF" start="6" end="6"/>
      <field name="SF" start="7" end="7"/>
      <field name="TF" start="8" end="8"/>
      <field name="IF" start="9" end="9"/>
      <field name="DF" start="10" end="10"/>
      <field name="OF" start="11" end="11"/>
      <field name="NT" start="14" end="14"/>
      <field name="RF" start="16" end="16"/>
      <field name="VM" start="17" end="17"/>
      <field name="AC" start="18" end="18"/>
      <field name="VIF" start="19" end="19"/>
      <field name="VIP" start="20" end="20"/>
      <field name="ID" start="21" end="21"/>
    </flags>
    <reg name="eax" bitsize="32" type="int32"/>
    <reg name="ecx" bitsize="32" type="int32"/>
    <reg name="edx" bitsize="32" type="int32"/>
    <reg name="ebx" bitsize="32" type="int32"/>
    <reg name="esp" bitsize="32" type="data_ptr"/>
    <reg name="ebp" bitsize="32" type="data_ptr"/>
    <reg name="esi" bitsize="32" type="int32"/>
    <reg name="edi" bitsize="32" type="int32"/>
    <reg name="eip" bitsize="32" type="code_ptr"/>
    <reg name="eflags" bitsize="32" type="i386_eflags"/>
    <reg name="cs" bitsize="32" type="int32"/>
    <reg name="ss" bitsize="32" type="int32"/>
    <reg name="ds" bitsize="32" type="int32"/>
    <reg name="es" bitsize="32" type="int32"/>
    <reg name="fs" bitsize="32" type="int32"/>
    <reg name="gs" bitsize="32" type="int32"/>
    <reg name="st0" bitsize="80" type="i387_ext"/>
    <reg name="st1" bitsize="80" type="i387_ext"/>
    <reg name="st2" bitsize="80" type="i387_ext"/>
    <reg name="st3" bitsize="80" type="i387_ext"/>
    <reg name="st4" bitsize="80" type="i387_ext"/>
    <reg name="st5" bitsize="80" type="i387_ext"/>
    <reg name="st6" bitsize="80" type="i387_ext"/>
    <reg name="st7" bitsize="80" type="i387_ext"/>
    <reg name="fctrl" bitsize="32" type="int" group="float"/>
    <reg name="fstat" bitsize="32" type="int" group="float"/>
    <reg name="ftag" bitsize="32" type="int" group="float"/>
    <reg name="fiseg" bitsize="32" type="int" group="float"/>
    <reg name="fioff" bitsize="32" type="int" group="float"/>
    <reg name="foseg" bitsize="32" type="int" group="float"/>
    <reg name="fooff" bitsize="32" type="int" group="float"/>
    <reg name="fop" bitsize="32" type="int" group="float"/>
  </feature>
</target>
)";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

uint8_t checksum(std::string_view payload) {
  unsigned sum = 0;
  for (char c : payload) sum += static_cast<uint8_t>(c);
  return static_cast<uint8_t>(sum);
}

std::string frame(std::string_view payload) {
  std::string packet = "$";
  packet += payload;
  packet += '#';
  packet += hex_byte(checksum(payload));
  return packet;
}

std::string escape_binary(std::string_view bytes) {
  std::string text;
  for (char c : bytes) {
    if (c == '#' || c == '$' || c == '}' || c == '*') {
      text += '}';
      text += static_cast<char>(c ^ 0x20);
    } else {
      text += c;
    }
  }
  return text;
}

std::optional<std::string> unescape_binary(std::string_view escaped) {
  std::string bytes;
  for (size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '}') {
      bytes += escaped[i];
    } else if (++i < escaped.size()) {
      bytes += static_cast<char>(escaped[i] ^ 0x20);
    } else {
      return std::nullopt;
    }
  }
  return bytes;
}

std::string hex_encode(std::string_view bytes) {
  std::string text;
  for (char c : bytes) text += hex_byte(static_cast<uint8_t>(c));
  return text;
}

void PacketReader::feed(std::string_view bytes) {
  if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_ += bytes;
}

std::optional<Incoming> PacketReader::next() {
  while (start_ < buffer_.size()) {
    const char c = buffer_[start_];
    if (c == '+' || c == '-' || c == '\x03') {
      ++start_;
      return Incoming{c == '+'   ? Incoming::Kind::kAck
                      : c == '-' ? Incoming::Kind::kNack
                                 : Incoming::Kind::kInterrupt,
                      {}};
    }
    if (c != '$') {
      ++start_;  // noise between packets
      continue;
    }
    const size_t hash = buffer_.find('#', start_ + 1);
    if (hash == std::string::npos || hash + 2 >= buffer_.size()) {
      if (buffer_.size() - start_ > kMaxPacket) {
        buffer_.clear();
        start_ = 0;
      }
      return std::nullopt;  // the rest of the packet has not arrived
    }
    std::string payload = buffer_.substr(start_ + 1, hash - start_ - 1);
    const int hi = hex_value(buffer_[hash + 1]), lo = hex_value(buffer_[hash + 2]);
    start_ = hash + 3;
    if (payload.find('$') != std::string::npos) {
      // A packet started over: what came before its last '$' was a broken one.
      start_ = buffer_.rfind('$', hash);
      continue;
    }
    const bool good = hi >= 0 && lo >= 0 && (hi << 4 | lo) == checksum(payload);
    return Incoming{good ? Incoming::Kind::kPacket : Incoming::Kind::kBadChecksum,
                    good ? std::move(payload) : std::string{}};
  }
  return std::nullopt;
}

std::optional<uint32_t> parse_hex32(std::string_view text) {
  if (text.empty() || text.size() > 8) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    const int digit = hex_value(c);
    if (digit < 0) return std::nullopt;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  return value;
}

std::optional<std::string> parse_hex_bytes(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = hex_value(text[i]), lo = hex_value(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(hi << 4 | lo));
  }
  return bytes;
}

std::optional<Range> parse_range(std::string_view text, char tail) {
  const size_t comma = text.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  const size_t end = tail ? text.find(tail, comma) : text.size();
  if (end == std::string_view::npos) return std::nullopt;
  auto address = parse_hex32(text.substr(0, comma));
  auto length = parse_hex32(text.substr(comma + 1, end - comma - 1));
  if (!address || !length) return std::nullopt;
  return Range{*address, *length, tail ? text.substr(end + 1) : std::string_view{}};
}

std::string hex_byte(unsigned value) {
  return {kHexDigits[(value >> 4) & 0xF], kHexDigits[value & 0xF]};
}

std::string le_hex(uint32_t value) {
  std::string text;
  for (int i = 0; i < 4; ++i) text += hex_byte(value >> (8 * i));
  return text;
}

uint32_t le_value(std::string_view bytes) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i)
    value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << (8 * i);
  return value;
}

std::string hex_number(uint32_t address) {
  char text[9];
  std::snprintf(text, sizeof text, "%x", address);
  return text;
}

uint32_t& core_register(CpuState& state, size_t n) { return (&state.eax)[n]; }
uint32_t core_register(const CpuState& state, size_t n) { return (&state.eax)[n]; }

bool same_registers(const CpuState& a, const CpuState& b) {
  return std::equal(&a.eax, &a.eax + kCoreRegisters, &b.eax);
}

std::string encode_registers(const CpuState& state) {
  std::string reply;
  for (size_t i = 0; i < kCoreRegisters; ++i) reply += le_hex(core_register(state, i));
  return reply + std::string(2 * kX87Bytes, '0');
}

std::optional<RegisterBlock> decode_registers(std::string_view hex) {
  auto bytes = parse_hex_bytes(hex);
  if (!bytes || bytes->size() < kCoreRegisters * 4) return std::nullopt;
  RegisterBlock block;
  for (size_t i = 0; i < kCoreRegisters; ++i) {
    core_register(block.state, i) = le_value(std::string_view(*bytes).substr(4 * i, 4));
  }
  block.x87_zeros =
      std::all_of(bytes->begin() + kCoreRegisters * 4, bytes->end(), [](char c) { return c == 0; });
  return block;
}

std::optional<std::string> encode_register(const CpuState& state, uint32_t n) {
  if (n < kCoreRegisters) return le_hex(core_register(state, n));
  if (n < kCoreRegisters + kX87Registers) return std::string(20, '0');
  if (n < kCoreRegisters + kX87Registers + kX87Controls) return std::string(8, '0');
  return std::nullopt;
}

std::string stop_reply(Signal signal, const CpuState& s, std::string_view reason) {
  std::string reply = "T" + hex_byte(signal);
  reply += "04:" + le_hex(s.esp) + ";05:" + le_hex(s.ebp) + ";08:" + le_hex(s.eip) + ";";
  reply += "thread:1;";
  return reply + std::string(reason);
}

std::string watch_stop(uint32_t address) { return "watch:" + hex_number(address) + ";"; }

std::string exit_reply(int exit_status) {
  return "W" + hex_byte(static_cast<unsigned>(exit_status));
}

std::string console_output(std::string_view text) { return "O" + hex_encode(text); }

std::string features_reply(std::string_view request) {
  const size_t colon = request.find(':');
  if (colon == std::string_view::npos || request.substr(0, colon) != "target.xml") return "E00";
  const auto range = parse_range(request.substr(colon + 1), '\0');
  if (!range) return "E01";
  const std::string_view xml = kTargetXml;
  if (range->address > xml.size()) return "E01";
  const std::string_view part = xml.substr(range->address, range->length);
  const bool last = range->address + part.size() >= xml.size();
  return (last ? "l" : "m") + escape_binary(part);
}

}  // namespace peiboard::gdb
