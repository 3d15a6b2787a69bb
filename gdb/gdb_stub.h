// A GDB remote serial protocol stub: a debugger on the loopback interface sees the guest of a
// precise machine as one i386 thread, stopped before its first instruction.
//
// The stub is the machine's debug observer and runs its packet loop synchronously inside the
// observer's callbacks: while the client decides, the guest simply does not run. Breakpoints
// are the stub's own (no code is patched), single steps stop at the next instruction the
// machine announces, and a continuing guest looks for the client's Ctrl-C byte every few
// thousand instructions.
//
// Protocol subset: qSupported (PacketSize, qXfer:features:read, swbreak, QStartNoAckMode), ?,
// qAttached, qC, qfThreadInfo/qsThreadInfo, H, T, qXfer:features:read:target.xml, g G p P
// (the 16 core registers, then the x87 registers as zeros), m M X (RAM only; writes never to
// the host's own pages, and written code drops its translation), Z0/z0 and
// Z1/z1 breakpoints, Z2/z2 write watchpoints, c C s S, vCont? vCont;c/C/s/S, D, k, Ctrl-C.
// Anything else has the empty reply.
#pragma once

#include <cstdint>
#include <deque>
#include <iosfwd>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "expected.h"
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

// ---- Connection ------------------------------------------------------------------------------

// An owned socket descriptor, closed with its owner.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { close(); }
  int fd() const { return fd_; }
  bool open() const { return fd_ >= 0; }
  void close();

 private:
  int fd_ = -1;
};

// A listening socket on 127.0.0.1:port; port 0 lets the system choose a free one.
struct Listener {
  Socket socket;
  uint16_t port = 0;  // the port it listens on
};
Expected<Listener> listen_loopback(uint16_t port);
// Waits for one client and stops listening.
Expected<Socket> accept_client(Listener listener);

// ---- The stub --------------------------------------------------------------------------------

// GDB's signal numbers, as stop replies carry them.
enum Signal : uint8_t { kSigInt = 2, kSigIll = 4, kSigTrap = 5, kSigFpe = 8, kSigSegv = 11 };
// The signal a debugger is shown for a stop of the run: memory faults SIGSEGV, undecodable
// bytes SIGILL, a divide error SIGFPE, anything else (hang, halt) SIGTRAP.
Signal signal_of(const StopInfo& stop);

struct StubOptions {
  // Guest instructions between two looks for the client's Ctrl-C while the guest runs.
  uint32_t interrupt_poll = 4096;
};

class Stub final : public DebugObserver {
 public:
  // Serves `client` for the guest of `machine`, which must be precise: the stub becomes its
  // debug observer, and the client meets the guest stopped at the first instruction it runs.
  Stub(Machine& machine, Socket client, StubOptions options = {});
  ~Stub() override;
  Stub(const Stub&) = delete;
  Stub& operator=(const Stub&) = delete;

  void before_instruction(uint32_t address) override;
  void on_stop(const StopInfo& stop) override;

  // The run is over; `exit_status` is the command's (0 the boot completed, 1 it did not) and
  // `reason` says why it did not, for a client that has not been shown a stop for it. A client
  // still attached hears "W<status>", then the connection closes.
  void finish(int exit_status, std::string_view reason = {});

  // The client is gone (detached, killed the run, or hung up): the guest runs free.
  bool serving() const { return mode_ != Mode::kFree; }

 private:
  enum class Mode : uint8_t {
    kFirst,     // before the first instruction: the client waits for none
    kStopped,   // the packet loop runs
    kContinue,  // the guest runs until a breakpoint, a stop or Ctrl-C
    kStep,      // the guest runs one instruction
    kKilling,   // the client killed the run; it halts at the next instruction
    kFree,      // no client: the guest runs to its end
  };
  // Sends `stop_reply` when `announce` (the client waits for it) and serves packets until the
  // client resumes the guest, kills the run or goes.
  void serve(std::string stop_reply, bool announce);
  void dispatch(std::string_view packet);
  void query(std::string_view packet);
  std::optional<Incoming> receive();
  bool interrupted();
  void send(std::string_view payload);
  void send_raw(std::string_view bytes);
  void release();  // the client is gone: the guest runs to its end

  CpuState registers() const;  // as the client is shown them
  // "T<signal>" with EIP, ESP, EBP and the thread; `reason` names a breakpoint or watchpoint.
  std::string stop_reply(Signal signal, std::string_view reason = {}) const;
  // The stop reason of the first watchpoint whose bytes changed since the guest last
  // resumed, or "".
  std::string written_watch();
  std::string read_registers() const;
  void resume(Mode mode, std::string_view address);
  std::string write_registers(std::string_view hex);
  std::string read_register(std::string_view number) const;
  std::string write_register(std::string_view assignment);
  std::string read_memory(std::string_view request) const;
  std::string write_memory(std::string_view request, bool binary);
  std::string breakpoint(std::string_view request, bool insert);
  std::string features(std::string_view request) const;
  void vcont(std::string_view actions);
  void kill();
  // Registers the client changed, written to the machine when they differ; false when they
  // cannot be changed here (the run is over, or the stop is inside a host trap).
  bool apply(const CpuState& state);
  // The bytes from `address`, up to `size`, that are RAM.
  uint32_t ram_prefix(uint32_t address, uint32_t size) const;

  Machine& machine_;
  Socket client_;
  StubOptions options_;
  PacketReader reader_;
  std::deque<Incoming> pending_;  // what arrived while the guest ran, after a Ctrl-C check
  Mode mode_ = Mode::kFirst;
  bool no_ack_ = false;
  bool run_over_ = false;  // stopped for the run's end: the registers are the guest's last
  std::string last_sent_;
  std::string last_stop_;
  std::set<uint32_t> breakpoints_;
  struct Watch {
    uint32_t address, length;
    std::vector<uint8_t> seen;  // its bytes when the guest last resumed
  };
  std::vector<Watch> watches_;
  std::vector<uint8_t> now_;  // the bytes compared, kept to spare an allocation per instruction
  uint32_t until_poll_ = 0;
  // After the registers were written at a stop the engine announces the instruction at EIP
  // again: that announcement is the stop's own instruction, not a new one.
  std::optional<uint32_t> reannounced_;
  std::optional<uint32_t> shown_eip_;  // where a hung guest stands, ahead of the engine's EIP
};

// For `peiboard run --gdb PORT`: listens on 127.0.0.1:PORT (0: a free port), says where on
// `log`, and waits for the debugger.
Expected<Socket> wait_for_debugger(uint16_t port, std::ostream& log);

}  // namespace peiboard::gdb
