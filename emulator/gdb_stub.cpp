#include "gdb_stub.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "format.h"

namespace peiboard::gdb {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr size_t kCoreRegisters = 16;  // eax ... gs, 4 bytes each
constexpr size_t kX87Registers = 8;    // st0 ... st7, 10 bytes each
constexpr size_t kX87Controls = 8;     // fctrl fstat ftag fiseg fioff foseg fooff fop
constexpr size_t kX87Bytes = kX87Registers * 10 + kX87Controls * 4;
constexpr size_t kFirstSegment = 10;    // cs: the flat guest's segments stay as they are
constexpr uint32_t kMaxMemory = 0x800;  // bytes of one m reply: PacketSize / 2
constexpr uint32_t kMaxWatch = 0x1000;  // bytes one watchpoint compares after each instruction
constexpr std::string_view kBreakpointStop = "swbreak:;";
constexpr const char* kSupported = "PacketSize=1000;qXfer:features:read+;swbreak+;QStartNoAckMode+";

static_assert(sizeof(CpuState) == kCoreRegisters * 4, "CpuState is the 16 core registers");

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

// A number in hex, 1 to 8 digits.
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

// Bytes written as two hex digits each.
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

// "addr,len" and what follows them after `tail` (':' for writes), split.
struct Range {
  uint32_t address = 0, length = 0;
  std::string_view rest;
};
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

// A 32-bit register as the target's memory holds it: little-endian.
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

uint32_t* registers_of(CpuState& state) { return &state.eax; }
const uint32_t* registers_of(const CpuState& state) { return &state.eax; }

bool same(const CpuState& a, const CpuState& b) {
  return std::equal(registers_of(a), registers_of(a) + kCoreRegisters, registers_of(b));
}

// Why the run stopped, as the client's console shows it.
std::string describe(const StopInfo& stop) {
  const Fault& f = stop.fault;
  std::string text = "peiboard: ";
  text += stop.kind == StopKind::kHang     ? "hang: "
          : stop.kind == StopKind::kHalted ? "halt: "
                                           : "fault: ";
  text += f.kind == FaultKind::kHalted ? f.detail : std::string(fault_kind_text(f.kind));
  text += " at " + hex(f.address, 8);
  if (!f.region.empty()) text += " (" + f.region + ")";
  if (!f.detail.empty() && f.kind != FaultKind::kHalted) text += ", " + f.detail;
  return text + "\n";
}

// An address as stop replies give it: plain hex digits.
std::string hex_number(uint32_t address) {
  char text[9];
  std::snprintf(text, sizeof text, "%x", address);
  return text;
}

// The CPU exception vectors a debugger has a signal of its own for.
namespace vector {
constexpr uint32_t kDivideError = 0;
constexpr uint32_t kInvalidOpcode = 6;
constexpr uint32_t kGeneralProtection = 13;
constexpr uint32_t kPageFault = 14;
}  // namespace vector

Signal signal_of_vector(std::optional<uint32_t> cpu_vector) {
  if (!cpu_vector) return kSigTrap;
  switch (*cpu_vector) {
    case vector::kDivideError:
      return kSigFpe;
    case vector::kInvalidOpcode:
      return kSigIll;
    case vector::kGeneralProtection:
    case vector::kPageFault:
      return kSigSegv;
    default:
      return kSigTrap;
  }
}

std::string system_error(const std::string& what) { return what + ": " + std::strerror(errno); }

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

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void Socket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Expected<Listener> listen_loopback(uint16_t port) {
  Listener listener{Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), 0};
  if (!listener.socket.open()) return Error{system_error("gdb stub: socket")};
  const int one = 1;
  ::setsockopt(listener.socket.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener.socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
      0) {
    return Error{system_error("gdb stub: cannot listen on 127.0.0.1:" + std::to_string(port))};
  }
  if (::listen(listener.socket.fd(), 1) != 0) return Error{system_error("gdb stub: listen")};
  socklen_t length = sizeof address;
  if (::getsockname(listener.socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return Error{system_error("gdb stub: getsockname")};
  }
  listener.port = ntohs(address.sin_port);
  return listener;
}

Expected<Socket> accept_client(Listener listener) {
  int fd = -1;
  do {
    fd = ::accept4(listener.socket.fd(), nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error{system_error("gdb stub: accept")};
  // Every packet is a round trip the debugger waits for: send each at once.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return Socket(fd);
}

Expected<Socket> wait_for_debugger(uint16_t port, std::ostream& log) {
  auto listener = listen_loopback(port);
  if (!listener) return listener.error();
  log << "peiboard: waiting for GDB on 127.0.0.1:" << listener->port
      << " (target remote 127.0.0.1:" << listener->port << ")" << std::endl;
  return accept_client(std::move(listener).value());
}

Signal signal_of(const StopInfo& stop) {
  if (stop.kind != StopKind::kFault) return kSigTrap;
  switch (stop.fault.kind) {
    case FaultKind::kReadUnmapped:
    case FaultKind::kWriteUnmapped:
    case FaultKind::kWriteProtected:
    case FaultKind::kExecuteOutside:
    case FaultKind::kExecuteNonCode:
    case FaultKind::kBadBuffer:
      return kSigSegv;
    case FaultKind::kInvalidInstruction:
      return kSigIll;
    case FaultKind::kCpuException:
      return signal_of_vector(stop.fault.vector);
    default:
      return kSigTrap;
  }
}

Stub::Stub(Machine& machine, Socket client, StubOptions options)
    : machine_(machine), client_(std::move(client)), options_(options) {
  options_.interrupt_poll = std::max<uint32_t>(options_.interrupt_poll, 1);
  machine_.set_debug_observer(this);
}

Stub::~Stub() { machine_.set_debug_observer(nullptr); }

void Stub::before_instruction(uint32_t address) {
  if (mode_ == Mode::kFree) return;
  if (reannounced_) {
    const bool same_instruction = *reannounced_ == address;
    reannounced_.reset();
    if (mode_ == Mode::kKilling) {
      mode_ = Mode::kFree;
      machine_.halt("killed by the debugger", address);
      return;
    }
    if (same_instruction) return;
  }
  switch (mode_) {
    case Mode::kFirst:
      serve(stop_reply(kSigTrap), false);
      return;
    case Mode::kStep:
      serve(stop_reply(kSigTrap, written_watch()), true);
      return;
    case Mode::kContinue:
      if (std::string watch = written_watch(); !watch.empty()) {
        serve(stop_reply(kSigTrap, watch), true);
      } else if (!breakpoints_.empty() && breakpoints_.contains(address)) {
        serve(stop_reply(kSigTrap, kBreakpointStop), true);
      } else if (--until_poll_ == 0) {
        until_poll_ = options_.interrupt_poll;
        if (interrupted()) serve(stop_reply(kSigInt), true);
      }
      return;
    default:
      return;
  }
}

void Stub::on_stop(const StopInfo& stop) {
  if (mode_ == Mode::kFree || mode_ == Mode::kKilling) return;
  const bool announce = mode_ != Mode::kFirst;
  run_over_ = true;
  // A hang is found as a block is about to run, before the engine has moved EIP there.
  if (stop.kind == StopKind::kHang) shown_eip_ = stop.fault.eip;
  if (announce) send("O" + hex_encode(describe(stop)));
  if (mode_ != Mode::kFree) serve(stop_reply(signal_of(stop)), announce);
}

void Stub::finish(int exit_status, std::string_view reason) {
  const bool stop_shown = run_over_;
  run_over_ = true;
  const std::string exited = "W" + hex_byte(static_cast<unsigned>(exit_status));
  // A client that never saw the guest stop learns of the end when it asks.
  if (mode_ == Mode::kFirst) serve(exited, false);
  if (mode_ == Mode::kContinue || mode_ == Mode::kStep) {
    if (!reason.empty() && !stop_shown) {
      send("O" + hex_encode("peiboard: " + std::string(reason) + "\n"));
    }
    send(exited);
  }
  release();
}

void Stub::serve(std::string stop_reply, bool announce) {
  last_stop_ = std::move(stop_reply);
  mode_ = Mode::kStopped;
  if (announce) send(last_stop_);
  while (mode_ == Mode::kStopped) {
    auto in = receive();
    if (!in) {
      release();
      return;
    }
    switch (in->kind) {
      case Incoming::Kind::kPacket:
        if (!no_ack_) send_raw("+");
        dispatch(in->payload);
        break;
      case Incoming::Kind::kBadChecksum:
        if (!no_ack_) send_raw("-");
        break;
      case Incoming::Kind::kNack:
        send_raw(last_sent_);
        break;
      case Incoming::Kind::kAck:
      case Incoming::Kind::kInterrupt:  // the guest is stopped already
        break;
    }
  }
}

void Stub::dispatch(std::string_view packet) {
  const std::string_view rest = packet.empty() ? packet : packet.substr(1);
  switch (packet.empty() ? '\0' : packet[0]) {
    case '?':
      return send(last_stop_);
    case 'g':
      return send(read_registers());
    case 'G':
      return send(write_registers(rest));
    case 'p':
      return send(read_register(rest));
    case 'P':
      return send(write_register(rest));
    case 'm':
      return send(read_memory(rest));
    case 'M':
      return send(write_memory(rest, false));
    case 'X':
      return send(write_memory(rest, true));
    case 'Z':
    case 'z':
      return send(breakpoint(rest, packet[0] == 'Z'));
    case 'c':
      return resume(Mode::kContinue, rest);
    case 's':
      return resume(Mode::kStep, rest);
    case 'C':
    case 'S': {
      // The signal is not the guest's to receive: it resumes as c or s.
      const size_t semicolon = rest.find(';');
      return resume(
          packet[0] == 'C' ? Mode::kContinue : Mode::kStep,
          semicolon == std::string_view::npos ? std::string_view{} : rest.substr(semicolon + 1));
    }
    case 'H':  // one thread: every thread selection is it
    case 'T':
      return send("OK");
    case 'D':
      send("OK");
      return release();
    case 'k':
      return kill();
    case 'q':
    case 'Q':
    case 'v':
      return query(packet);
    default:
      return send("");
  }
}

void Stub::query(std::string_view packet) {
  if (packet.starts_with("qSupported")) return send(kSupported);
  if (packet == "QStartNoAckMode") {
    send("OK");
    no_ack_ = true;
    return;
  }
  if (packet.starts_with("qAttached")) return send("1");  // quitting detaches: the run goes on
  if (packet == "qC") return send("QC1");
  if (packet == "qfThreadInfo") return send("m1");
  if (packet == "qsThreadInfo") return send("l");
  if (packet == "qSymbol::") return send("OK");
  constexpr std::string_view kFeatures = "qXfer:features:read:";
  if (packet.starts_with(kFeatures)) return send(features(packet.substr(kFeatures.size())));
  if (packet == "vCont?") return send("vCont;c;C;s;S");
  if (packet.starts_with("vCont;")) return vcont(packet.substr(5));
  if (packet.starts_with("vKill")) {
    send("OK");
    return kill();
  }
  send("");
}

std::optional<Incoming> Stub::receive() {
  if (!pending_.empty()) {
    Incoming in = std::move(pending_.front());
    pending_.pop_front();
    return in;
  }
  while (client_.open()) {
    if (auto in = reader_.next()) return in;
    char bytes[4096];
    const ssize_t n = ::recv(client_.fd(), bytes, sizeof bytes, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    reader_.feed({bytes, static_cast<size_t>(n)});
  }
  return std::nullopt;
}

bool Stub::interrupted() {
  pollfd ready{client_.fd(), POLLIN, 0};
  while (client_.open() && ::poll(&ready, 1, 0) > 0) {
    char bytes[4096];
    const ssize_t n = ::recv(client_.fd(), bytes, sizeof bytes, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      release();  // the client hung up: the guest runs on to its end
      return false;
    }
    reader_.feed({bytes, static_cast<size_t>(n)});
  }
  bool interrupt = false;
  while (auto in = reader_.next()) {
    if (in->kind == Incoming::Kind::kInterrupt) {
      interrupt = true;
    } else if (in->kind != Incoming::Kind::kAck) {
      pending_.push_back(std::move(*in));  // served at the next stop
    }
  }
  return interrupt;
}

void Stub::send(std::string_view payload) {
  last_sent_ = frame(payload);
  send_raw(last_sent_);
}

void Stub::send_raw(std::string_view bytes) {
  while (!bytes.empty() && client_.open()) {
    const ssize_t n = ::send(client_.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return release();
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void Stub::release() {
  client_.close();
  breakpoints_.clear();
  watches_.clear();
  pending_.clear();
  if (mode_ != Mode::kKilling) mode_ = Mode::kFree;
}

CpuState Stub::registers() const {
  CpuState state = machine_.cpu();
  if (shown_eip_) state.eip = *shown_eip_;
  return state;
}

std::string Stub::stop_reply(Signal signal, std::string_view reason) const {
  const CpuState s = registers();
  std::string reply = "T" + hex_byte(signal);
  reply += "04:" + le_hex(s.esp) + ";05:" + le_hex(s.ebp) + ";08:" + le_hex(s.eip) + ";";
  reply += "thread:1;";
  return reply + std::string(reason);
}

std::string Stub::read_registers() const {
  const CpuState s = registers();
  std::string reply;
  for (size_t i = 0; i < kCoreRegisters; ++i) reply += le_hex(registers_of(s)[i]);
  return reply + std::string(2 * kX87Bytes, '0');
}

std::string Stub::write_registers(std::string_view hex) {
  auto bytes = parse_hex_bytes(hex);
  if (!bytes || bytes->size() < kCoreRegisters * 4) return "E01";
  const CpuState now = registers();
  CpuState state;
  for (size_t i = 0; i < kCoreRegisters; ++i) {
    registers_of(state)[i] = le_value(std::string_view(*bytes).substr(4 * i, 4));
  }
  // The segments and the x87 state are not the guest's to change: only as they are shown.
  const bool fixed_parts_kept =
      std::equal(registers_of(state) + kFirstSegment, registers_of(state) + kCoreRegisters,
                 registers_of(now) + kFirstSegment) &&
      std::all_of(bytes->begin() + kCoreRegisters * 4, bytes->end(), [](char c) { return c == 0; });
  if (!fixed_parts_kept) return "E01";
  return apply(state) ? "OK" : "E01";
}

std::string Stub::read_register(std::string_view number) const {
  const auto n = parse_hex32(number);
  if (!n) return "E01";
  if (*n < kCoreRegisters) return le_hex(registers_of(registers())[*n]);
  if (*n < kCoreRegisters + kX87Registers) return std::string(20, '0');
  if (*n < kCoreRegisters + kX87Registers + kX87Controls) return std::string(8, '0');
  return "E01";
}

std::string Stub::write_register(std::string_view assignment) {
  const size_t equals = assignment.find('=');
  if (equals == std::string_view::npos) return "E01";
  const auto n = parse_hex32(assignment.substr(0, equals));
  const auto bytes = parse_hex_bytes(assignment.substr(equals + 1));
  if (!n || !bytes) return "E01";
  if (*n < kCoreRegisters) {
    if (bytes->size() != 4) return "E01";
    CpuState state = registers();
    const uint32_t value = le_value(*bytes);
    if (*n >= kFirstSegment && value != registers_of(state)[*n]) return "E01";
    registers_of(state)[*n] = value;
    return apply(state) ? "OK" : "E01";
  }
  // The x87 registers read as zeros and stay so.
  const bool zeros = std::all_of(bytes->begin(), bytes->end(), [](char c) { return c == 0; });
  return *n < kCoreRegisters + kX87Registers + kX87Controls && zeros ? "OK" : "E01";
}

bool Stub::apply(const CpuState& state) {
  const CpuState now = registers();
  if (same(state, now)) return true;
  // At the run's end the engine has been told to stop, and a register write would make it
  // carry on; in a trap the host routine has already run and would run again.
  if (run_over_ || now.eip - Machine::kTrapBase < Machine::kTrapPageSize) return false;
  machine_.set_cpu(state);
  reannounced_ = state.eip;
  return true;
}

std::string Stub::written_watch() {
  for (const Watch& w : watches_) {
    now_.resize(w.length);
    machine_.read(w.address, now_);
    if (now_ != w.seen) return "watch:" + hex_number(w.address) + ";";
  }
  return {};
}

uint32_t Stub::ram_prefix(uint32_t address, uint32_t size) const {
  size = static_cast<uint32_t>(std::min<uint64_t>(size, 0x100000000ull - address));
  auto ram = [&](uint32_t at, uint32_t length) {
    try {
      machine_.check_guest(at, length, kRead);
      return true;
    } catch (const GuestFault&) {
      return false;
    }
  };
  if (ram(address, size)) return size;
  uint32_t length = 0;
  while (length < size && ram(address + length, 1)) ++length;
  return length;
}

std::string Stub::read_memory(std::string_view request) const {
  const auto range = parse_range(request, '\0');
  if (!range) return "E01";
  const uint32_t length = ram_prefix(range->address, std::min(range->length, kMaxMemory));
  if (length == 0 && range->length != 0) return "E0E";
  const std::vector<uint8_t> bytes = machine_.read(range->address, length);
  return hex_encode({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

std::string Stub::write_memory(std::string_view request, bool binary) {
  const auto range = parse_range(request, ':');
  if (!range) return "E01";
  const auto bytes = binary ? unescape_binary(range->rest) : parse_hex_bytes(range->rest);
  if (!bytes || bytes->size() != range->length) return "E01";
  const auto written = machine_.debugger_write(
      range->address, {reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size()});
  if (written == Machine::DebugWrite::kRefused) return "E0E";
  if (written == Machine::DebugWrite::kRunningCodeChanged && !run_over_) {
    // The instruction the guest stands at may be one of those written: the engine starts
    // again at EIP and translates the new bytes (the trap page is never written, so this is
    // never a stop inside a trap).
    const CpuState now = machine_.cpu();
    machine_.set_cpu(now);
    reannounced_ = now.eip;
  }
  return "OK";
}

std::string Stub::breakpoint(std::string_view request, bool insert) {
  // Software (0) and hardware (1) breakpoints are the same here: the stub checks each
  // instruction's address and no code changes. A write watchpoint (2) compares its bytes
  // after each instruction; reads (3, 4) are not seen.
  if (request.size() < 2 || request[0] < '0' || request[0] > '2' || request[1] != ',') return "";
  const auto range = parse_range(request.substr(2), '\0');
  if (!range) return "E01";
  if (request[0] == '2') {
    std::erase_if(watches_, [&](const Watch& w) {
      return w.address == range->address && w.length == range->length;
    });
    if (!insert) return "OK";
    if (range->length == 0 || range->length > kMaxWatch ||
        ram_prefix(range->address, range->length) != range->length) {
      return "E01";
    }
    watches_.push_back(
        {range->address, range->length, machine_.read(range->address, range->length)});
    return "OK";
  }
  if (insert) {
    breakpoints_.insert(range->address);
  } else {
    breakpoints_.erase(range->address);
  }
  return "OK";
}

std::string Stub::features(std::string_view request) const {
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

void Stub::resume(Mode mode, std::string_view address) {
  if (!address.empty()) {
    const auto at = parse_hex32(address);
    CpuState state = registers();
    if (at) state.eip = *at;
    if (!at || !apply(state)) return send("E01");
  }
  // What the client wrote while the guest stood is not the guest's write.
  for (Watch& w : watches_) machine_.read(w.address, w.seen);
  until_poll_ = options_.interrupt_poll;
  mode_ = mode;
}

void Stub::vcont(std::string_view actions) {
  // One thread: the first action is the one for it.
  actions.remove_prefix(std::min<size_t>(1, actions.size()));  // the ';'
  const std::string_view action = actions.substr(0, actions.find_first_of(";:"));
  if (action == "c" || (action.size() == 3 && action[0] == 'C')) {
    return resume(Mode::kContinue, {});
  }
  if (action == "s" || (action.size() == 3 && action[0] == 'S')) return resume(Mode::kStep, {});
  send("E01");
}

void Stub::kill() {
  // The client expects no reply and hangs up.
  const bool halt_now = !run_over_ && !reannounced_;
  const bool halt_later = !run_over_ && reannounced_.has_value();
  mode_ = halt_later ? Mode::kKilling : Mode::kFree;
  release();
  // A register write this stop has the engine restart at EIP, which would swallow a stop
  // requested now: the run halts when it announces that instruction.
  if (halt_now) machine_.halt("killed by the debugger", machine_.eip());
}

}  // namespace peiboard::gdb
