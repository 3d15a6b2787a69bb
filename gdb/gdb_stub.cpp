#include "gdb_stub.h"

#include <algorithm>

namespace peiboard::gdb {
namespace {

constexpr uint32_t kMaxMemory = 0x800;  // bytes of one m reply: PacketSize / 2

}  // namespace

Stub::Stub(Machine& machine, Socket client, StubOptions options)
    : machine_(machine), target_(machine), link_(std::move(client)), options_(options) {
  options_.interrupt_poll = std::max<uint32_t>(options_.interrupt_poll, 1);
  machine_.set_debug_observer(this);
}

Stub::~Stub() { machine_.set_debug_observer(nullptr); }

void Stub::before_instruction(uint32_t address) {
  if (mode_ == Mode::kFree) return;
  if (const auto reannounced = target_.take_reannounced()) {
    if (mode_ == Mode::kKilling) {
      mode_ = Mode::kFree;
      target_.halt("killed by the debugger", address);
      return;
    }
    if (*reannounced == address) return;
  }
  switch (mode_) {
    case Mode::kFirst:
      serve(stop_reply(kSigTrap), false);
      return;
    case Mode::kStep: {
      const auto watch = target_.written_watch();
      serve(stop_reply(kSigTrap, watch ? watch_stop(*watch) : std::string()), true);
      return;
    }
    case Mode::kContinue:
      if (const auto watch = target_.written_watch()) {
        serve(stop_reply(kSigTrap, watch_stop(*watch)), true);
      } else if (target_.breakpoint_at(address)) {
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
  target_.end_run();
  // A hang is found as a block is about to run, before the engine has moved EIP there.
  if (stop.kind == StopKind::kHang) target_.show_eip(stop.fault.eip);
  if (announce) send(console_output(describe(stop)));
  if (mode_ != Mode::kFree) serve(stop_reply(signal_of(stop)), announce);
}

void Stub::finish(int exit_status, std::string_view reason) {
  const bool stop_shown = target_.run_over();
  target_.end_run();
  const std::string exited = exit_reply(exit_status);
  // A client that never saw the guest stop learns of the end when it asks.
  if (mode_ == Mode::kFirst) serve(exited, false);
  if (mode_ == Mode::kContinue || mode_ == Mode::kStep) {
    if (!reason.empty() && !stop_shown) {
      send(console_output("peiboard: " + std::string(reason) + "\n"));
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
    auto in = link_.receive();
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
        if (link_.resend_last() == Connection::Delivery::kHungUp) release();
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
      return send(encode_registers(target_.registers()));
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
  if (packet.starts_with(kFeatures)) return send(features_reply(packet.substr(kFeatures.size())));
  if (packet == "vCont?") return send("vCont;c;C;s;S");
  if (packet.starts_with("vCont;")) return vcont(packet.substr(5));
  if (packet.starts_with("vKill")) {
    send("OK");
    return kill();
  }
  send("");
}

bool Stub::interrupted() {
  switch (link_.poll()) {
    case Connection::Poll::kInterrupt:
      return true;
    case Connection::Poll::kHungUp:
      release();  // the client hung up: the guest runs on to its end
      return false;
    case Connection::Poll::kQuiet:
      return false;
  }
  return false;
}

void Stub::send(std::string_view payload) {
  if (link_.send_packet(payload) == Connection::Delivery::kHungUp) release();
}

void Stub::send_raw(std::string_view bytes) {
  if (link_.send_raw(bytes) == Connection::Delivery::kHungUp) release();
}

void Stub::release() {
  link_.close();
  target_.clear_breakpoints();
  if (mode_ != Mode::kKilling) mode_ = Mode::kFree;
}

std::string Stub::stop_reply(Signal signal, std::string_view reason) const {
  return gdb::stop_reply(signal, target_.registers(), reason);
}

std::string Stub::write_registers(std::string_view hex) {
  const auto block = decode_registers(hex);
  if (!block) return "E01";
  const CpuState now = target_.registers();
  // The segments and the x87 state are not the guest's to change: only as they are shown.
  bool fixed_parts_kept = block->x87_zeros;
  for (size_t n = kFirstSegment; n < kCoreRegisters; ++n) {
    fixed_parts_kept = fixed_parts_kept && core_register(block->state, n) == core_register(now, n);
  }
  if (!fixed_parts_kept) return "E01";
  return target_.set_registers(block->state) == Target::Change::kDone ? "OK" : "E01";
}

std::string Stub::read_register(std::string_view number) const {
  const auto n = parse_hex32(number);
  if (!n) return "E01";
  return encode_register(target_.registers(), *n).value_or("E01");
}

std::string Stub::write_register(std::string_view assignment) {
  const size_t equals = assignment.find('=');
  if (equals == std::string_view::npos) return "E01";
  const auto n = parse_hex32(assignment.substr(0, equals));
  const auto bytes = parse_hex_bytes(assignment.substr(equals + 1));
  if (!n || !bytes) return "E01";
  if (*n < kCoreRegisters) {
    if (bytes->size() != 4) return "E01";
    CpuState state = target_.registers();
    const uint32_t value = le_value(*bytes);
    if (*n >= kFirstSegment && value != core_register(state, *n)) return "E01";
    core_register(state, *n) = value;
    return target_.set_registers(state) == Target::Change::kDone ? "OK" : "E01";
  }
  // The x87 registers read as zeros and stay so.
  const bool zeros = std::all_of(bytes->begin(), bytes->end(), [](char c) { return c == 0; });
  return *n < kCoreRegisters + kX87Registers + kX87Controls && zeros ? "OK" : "E01";
}

std::string Stub::read_memory(std::string_view request) const {
  const auto range = parse_range(request, '\0');
  if (!range) return "E01";
  const uint32_t length =
      target_.readable_prefix(range->address, std::min(range->length, kMaxMemory));
  if (length == 0 && range->length != 0) return "E0E";
  const std::vector<uint8_t> bytes = target_.read_memory(range->address, length);
  return hex_encode({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

std::string Stub::write_memory(std::string_view request, bool binary) {
  const auto range = parse_range(request, ':');
  if (!range) return "E01";
  const auto bytes = binary ? unescape_binary(range->rest) : parse_hex_bytes(range->rest);
  if (!bytes || bytes->size() != range->length) return "E01";
  const auto written = target_.write_memory(
      range->address, {reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size()});
  return written == Target::Change::kDone ? "OK" : "E0E";
}

std::string Stub::breakpoint(std::string_view request, bool insert) {
  // Software (0) and hardware (1) breakpoints are the same here: the target checks each
  // instruction's address and no code changes. A write watchpoint (2) compares its bytes
  // after each instruction; reads (3, 4) are not seen.
  if (request.size() < 2 || request[0] < '0' || request[0] > '2' || request[1] != ',') return "";
  const auto range = parse_range(request.substr(2), '\0');
  if (!range) return "E01";
  if (request[0] == '2') {
    target_.remove_watch(range->address, range->length);
    if (!insert) return "OK";
    return target_.insert_watch(range->address, range->length) == Target::Change::kDone ? "OK"
                                                                                        : "E01";
  }
  if (insert) {
    target_.insert_breakpoint(range->address);
  } else {
    target_.remove_breakpoint(range->address);
  }
  return "OK";
}

void Stub::resume(Mode mode, std::string_view address) {
  if (!address.empty()) {
    const auto at = parse_hex32(address);
    CpuState state = target_.registers();
    if (at) state.eip = *at;
    if (!at || target_.set_registers(state) == Target::Change::kRefused) return send("E01");
  }
  // What the client wrote while the guest stood is not the guest's write.
  target_.note_watched_bytes();
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
  const bool halt_now = !target_.run_over() && !target_.reannounces();
  const bool halt_later = !target_.run_over() && target_.reannounces();
  mode_ = halt_later ? Mode::kKilling : Mode::kFree;
  release();
  // A register write this stop has the engine restart at EIP, which would swallow a stop
  // requested now: the run halts when it announces that instruction.
  if (halt_now) target_.halt("killed by the debugger", target_.engine_eip());
}

}  // namespace peiboard::gdb
