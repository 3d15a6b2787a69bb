// A GDB remote serial protocol stub: a debugger on the loopback interface sees the guest of a
// precise machine as one i386 thread, stopped before its first instruction.
//
// The stub is the machine's debug observer and runs its packet loop synchronously inside the
// observer's callbacks: while the client decides, the guest simply does not run. Breakpoints
// are the stub's own (no code is patched), single steps stop at the next instruction the
// machine announces, and a continuing guest looks for the client's Ctrl-C byte every few
// thousand instructions.
//
// It is built of three parts: the protocol codec (gdb_protocol.h: framing, hex, requests and
// replies as text), the transport (gdb_transport.h: the socket and its bytes) and the target
// (gdb_target.h: registers, memory, breakpoints and stop reasons on the machine). The Stub
// itself holds the session: whether the guest runs, steps or stands, and which request does
// what.
//
// Protocol subset: qSupported (PacketSize, qXfer:features:read, swbreak, QStartNoAckMode), ?,
// qAttached, qC, qfThreadInfo/qsThreadInfo, H, T, qXfer:features:read:target.xml, g G p P
// (the 16 core registers, then the x87 registers as zeros), m M X (RAM only; writes never to
// the host's own pages, and written code drops its translation), Z0/z0 and
// Z1/z1 breakpoints, Z2/z2 write watchpoints, c C s S, vCont? vCont;c/C/s/S, D, k, Ctrl-C.
// Anything else has the empty reply.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "gdb_protocol.h"
#include "gdb_target.h"
#include "gdb_transport.h"
#include "machine.h"

namespace peiboard::gdb {

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
  bool interrupted();
  void send(std::string_view payload);
  void send_raw(std::string_view bytes);
  void release();  // the client is gone: the guest runs to its end

  // "T<signal>" for the registers as the client is shown them.
  std::string stop_reply(Signal signal, std::string_view reason = {}) const;
  void resume(Mode mode, std::string_view address);
  std::string write_registers(std::string_view hex);
  std::string read_register(std::string_view number) const;
  std::string write_register(std::string_view assignment);
  std::string read_memory(std::string_view request) const;
  std::string write_memory(std::string_view request, bool binary);
  std::string breakpoint(std::string_view request, bool insert);
  void vcont(std::string_view actions);
  void kill();

  Machine& machine_;
  Target target_;
  Connection link_;
  StubOptions options_;
  Mode mode_ = Mode::kFirst;
  bool no_ack_ = false;
  std::string last_stop_;
  uint32_t until_poll_ = 0;
};

}  // namespace peiboard::gdb
