// The GDB remote stub: packet framing, and the protocol as a client meets it on the real image's
// boot. A fake client on a thread speaks over a socket pair while the board boots on the test's
// own thread; every wait has a timeout and the client always hangs up, so the boot always ends.
#include "gdb_stub.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "board_fixture.h"
#include "report.h"

namespace peiboard::testing {
namespace {

using gdb::Incoming;
using gdb::PacketReader;
using gdb::Socket;

// ---- Framing ---------------------------------------------------------------------------------

TEST(GdbFraming, PacketsCarryTheSumOfTheirBytes) {
  EXPECT_EQ(gdb::frame("OK"), "$OK#9a");
  EXPECT_EQ(gdb::frame(""), "$#00");
  EXPECT_EQ(gdb::frame("g"), "$g#67");
  // The sum wraps at 256: 0xFF + 0x01.
  EXPECT_EQ(gdb::checksum(std::string("\xff\x01", 2)), 0);
  EXPECT_EQ(gdb::hex_encode(std::string("\x00\x7f\xff", 3)), "007fff");
}

std::vector<Incoming> read_all(PacketReader& reader) {
  std::vector<Incoming> items;
  while (auto in = reader.next()) items.push_back(*in);
  return items;
}

TEST(GdbFraming, TheReaderFindsPacketsHoweverTheStreamIsCut) {
  const std::string stream = "+junk$qSupported:swbreak+#8b\x03-$m0,4#fd$g#00";
  // Fed a byte at a time, the reader gives what it gives for the whole stream.
  PacketReader bytewise;
  std::vector<Incoming> items;
  for (char c : stream) {
    bytewise.feed(std::string(1, c));
    for (auto& in : read_all(bytewise)) items.push_back(in);
  }
  PacketReader whole;
  whole.feed(stream);
  const std::vector<Incoming> at_once = read_all(whole);
  ASSERT_EQ(items.size(), 6u);
  ASSERT_EQ(at_once.size(), items.size());
  using K = Incoming::Kind;
  const K kinds[] = {K::kAck, K::kPacket, K::kInterrupt, K::kNack, K::kPacket, K::kBadChecksum};
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].kind, kinds[i]) << i;
    EXPECT_EQ(at_once[i].kind, kinds[i]) << i;
    EXPECT_EQ(at_once[i].payload, items[i].payload) << i;
  }
  EXPECT_EQ(items[1].payload, "qSupported:swbreak+");
  EXPECT_EQ(items[4].payload, "m0,4");
}

TEST(GdbFraming, AnUnfinishedPacketWaitsAndARestartedOneWins) {
  PacketReader reader;
  reader.feed("$m0,4#f");
  EXPECT_FALSE(reader.next());  // one checksum digit still to come
  reader.feed("d");
  auto in = reader.next();
  ASSERT_TRUE(in);
  EXPECT_EQ(in->payload, "m0,4");
  // A '$' inside a packet starts it again: the broken start is dropped.
  reader.feed("$g$m0,4#fd");
  in = reader.next();
  ASSERT_TRUE(in);
  EXPECT_EQ(in->kind, Incoming::Kind::kPacket);
  EXPECT_EQ(in->payload, "m0,4");
  EXPECT_FALSE(reader.next());
}

TEST(GdbFraming, BinaryDataEscapesExactlyTheFramingBytes) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  const std::string escaped = gdb::escape_binary(all);
  EXPECT_EQ(escaped.size(), 256u + 4u);  // '#', '$', '}' and '*' take two bytes each
  EXPECT_EQ(escaped.find_first_of("#$*"), std::string::npos);
  EXPECT_EQ(gdb::escape_binary("}"), "}]");
  EXPECT_EQ(gdb::unescape_binary(escaped), all);
  EXPECT_FALSE(gdb::unescape_binary("ab}"));
}

TEST(GdbSignals, EachStopHasTheSignalADebuggerExpects) {
  auto signal = [](StopKind stop, FaultKind kind, std::string detail = {},
                   std::optional<uint32_t> vector = {}) {
    return gdb::signal_of(StopInfo{stop, Fault{kind, 0, 0, 0, {}, std::move(detail), vector}});
  };
  EXPECT_EQ(signal(StopKind::kFault, FaultKind::kWriteProtected), gdb::kSigSegv);
  EXPECT_EQ(signal(StopKind::kFault, FaultKind::kReadUnmapped), gdb::kSigSegv);
  EXPECT_EQ(signal(StopKind::kFault, FaultKind::kExecuteOutside), gdb::kSigSegv);
  EXPECT_EQ(signal(StopKind::kFault, FaultKind::kBadBuffer), gdb::kSigSegv);
  EXPECT_EQ(signal(StopKind::kFault, FaultKind::kInvalidInstruction), gdb::kSigIll);
  EXPECT_EQ(signal(StopKind::kFault, FaultKind::kCpuException, "vector 6", 6), gdb::kSigIll);
  EXPECT_EQ(signal(StopKind::kFault, FaultKind::kCpuException, "vector 0", 0), gdb::kSigFpe);
  EXPECT_EQ(signal(StopKind::kFault, FaultKind::kCpuException, "vector 14", 14), gdb::kSigSegv);
  EXPECT_EQ(signal(StopKind::kFault, FaultKind::kCpuException, "vector 3", 3), gdb::kSigTrap);
  EXPECT_EQ(signal(StopKind::kHang, FaultKind::kBudgetExhausted), gdb::kSigTrap);
  EXPECT_EQ(signal(StopKind::kHalted, FaultKind::kHalted, "assertion"), gdb::kSigTrap);
}

// ---- The protocol on the real image ----------------------------------------------------------

constexpr auto kReplyTimeout = std::chrono::seconds(20);

// Speaks the protocol as GDB does: one packet, then its reply. Acks from the stub are skipped;
// console output (O packets) is kept.
class FakeClient {
 public:
  explicit FakeClient(Socket socket) : socket_(std::move(socket)) {}

  void send_raw(std::string_view bytes) {
    ASSERT_EQ(::send(socket_.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // The next packet from the stub, "<timeout>" or "<closed>" when none comes.
  std::string receive() {
    for (;;) {
      while (auto in = reader_.next()) {
        if (in->kind == Incoming::Kind::kAck || in->kind == Incoming::Kind::kNack) {
          ++(in->kind == Incoming::Kind::kAck ? acks : nacks);
          continue;
        }
        if (in->kind != Incoming::Kind::kPacket) return "<bad packet>";
        if (in->payload.size() > 1 && in->payload[0] == 'O' && in->payload != "OK") {
          console += unhex(in->payload.substr(1));
          continue;
        }
        return in->payload;
      }
      pollfd ready{socket_.fd(), POLLIN, 0};
      if (::poll(&ready, 1, static_cast<int>(kReplyTimeout.count() * 1000)) <= 0) {
        return "<timeout>";
      }
      char bytes[4096];
      const ssize_t n = ::recv(socket_.fd(), bytes, sizeof bytes, 0);
      if (n <= 0) return "<closed>";
      reader_.feed({bytes, static_cast<size_t>(n)});
    }
  }
  std::string request(std::string_view payload) {
    send_raw(gdb::frame(payload));
    return receive();
  }
  // The registers of a 'g' reply.
  CpuState registers() {
    const std::string g = request("g");
    CpuState state;
    if (g.size() < 128) return state;
    for (size_t i = 0; i < 16; ++i) (&state.eax)[i] = le32(g.substr(8 * i, 8));
    return state;
  }
  uint32_t read32(uint32_t address) { return le32(request("m" + hex_digits(address) + ",4")); }
  void hang_up() { socket_.close(); }

  std::string console;
  int acks = 0, nacks = 0;

  static std::string hex_digits(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
  }
  static uint32_t le32(std::string_view hex) {
    const std::string bytes = unhex(hex);
    uint32_t value = 0;
    for (size_t i = 0; i < 4 && i < bytes.size(); ++i) {
      value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << (8 * i);
    }
    return value;
  }
  static std::string unhex(std::string_view hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    }
    return bytes;
  }

 private:
  Socket socket_;
  PacketReader reader_;
};

std::string le_hex(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x", value & 0xFF, (value >> 8) & 0xFF,
                (value >> 16) & 0xFF, value >> 24);
  return text;
}

// Records every instruction address of a run, as the stub sees them, and the instructions
// before which a watched word had changed.
class Recorder final : public DebugObserver {
 public:
  explicit Recorder(Machine& machine, std::optional<uint32_t> watched = std::nullopt)
      : machine_(machine), watched_(watched) {
    if (watched_) last_ = machine_.read32(*watched_);
  }
  void before_instruction(uint32_t address) override {
    addresses.push_back(address);
    if (watched_ && machine_.read32(*watched_) != last_) {
      last_ = machine_.read32(*watched_);
      changes.push_back(address);
    }
  }
  void on_stop(const StopInfo&) override {}
  std::vector<uint32_t> addresses;
  std::vector<uint32_t> changes;

 private:
  Machine& machine_;
  std::optional<uint32_t> watched_;
  uint32_t last_ = 0;
};

class GdbStubTest : public BoardTest {
 protected:
  // Boots with the stub serving `script` on a client thread; the run's JSON is kept.
  RunResult boot_with(const std::function<void(FakeClient&)>& script,
                      gdb::StubOptions options = {}) {
    int pair[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    make_board({.precise = true});
    gdb::Stub stub(board().machine(), Socket(pair[0]), options);
    std::thread client([&script, fd = pair[1]] {
      FakeClient c{Socket(fd)};
      script(c);
    });
    const RunResult result = board().boot();
    stub.finish(result.fault ? 1 : 0, result.fault ? result.fault->text() : "");
    client.join();
    json = run_json(board(), result, false).dump(1);
    return result;
  }
  // The same scenario booted without a debugger.
  std::string plain_json() {
    auto made = Board::create(scenario, module_image(), {.scratch = true, .precise = true});
    if (!made) throw std::runtime_error(made.error().message);
    return run_json(**made, (*made)->boot(), false).dump(1);
  }
  Recorder plain_trace(std::optional<uint32_t> watched = std::nullopt) {
    auto made = Board::create(scenario, module_image(), {.scratch = true, .precise = true});
    if (!made) throw std::runtime_error(made.error().message);
    Recorder recorder((*made)->machine(), watched);
    (*made)->machine().set_debug_observer(&recorder);
    (*made)->boot();
    (*made)->machine().set_debug_observer(nullptr);
    return recorder;
  }
  uint32_t symbol(std::string_view name) { return module_image().address_of(name).value(); }
  uint32_t entry() { return module_image().entry_point(); }

  std::string json;
};

TEST_F(GdbStubTest, TheClientMeetsTheGuestStoppedAtTheEntryPoint) {
  uint32_t services = 0;
  const RunResult r = boot_with([&](FakeClient& c) {
    const std::string supported = c.request("qSupported:multiprocess+;swbreak+;xmlRegisters=i386");
    EXPECT_NE(supported.find("PacketSize=1000"), std::string::npos) << supported;
    EXPECT_NE(supported.find("qXfer:features:read+"), std::string::npos) << supported;
    EXPECT_NE(supported.find("swbreak+"), std::string::npos) << supported;
    EXPECT_EQ(c.request("?"),
              "T05"
              "04:f4ff0f00;05:00000000;08:" +
                  le_hex(entry()) + ";thread:1;");
    EXPECT_EQ(c.request("qAttached"), "1");
    EXPECT_EQ(c.request("qC"), "QC1");
    EXPECT_EQ(c.request("qfThreadInfo"), "m1");
    EXPECT_EQ(c.request("qsThreadInfo"), "l");
    EXPECT_EQ(c.request("Hg0"), "OK");
    EXPECT_EQ(c.request("vCont?"), "vCont;c;C;s;S");
    EXPECT_EQ(c.request("qUnheardOf"), "");
    EXPECT_EQ(c.request("vMustReplyEmpty"), "");
    EXPECT_EQ(c.request("Z4,402000,4"), "");  // access watchpoints are not offered
    // The cdecl frame of the entry point: return address, file handle, services pointer.
    const CpuState s = c.registers();
    EXPECT_EQ(s.eip, entry());
    EXPECT_EQ(s.esp, ram::kStackTop - 12);
    services = c.read32(s.esp + 8);
    EXPECT_EQ(c.request("c"), "W00");
  });
  EXPECT_FALSE(r.fault);
  EXPECT_EQ(services, board().foundation().services_pointer());
  EXPECT_EQ(json, plain_json());
}

TEST_F(GdbStubTest, TheTargetDescriptionIsReadInPiecesAndNamesTheI386Core) {
  boot_with([](FakeClient& c) {
    std::string xml;
    for (int offset = 0;; offset += 0x100) {
      const std::string part =
          c.request("qXfer:features:read:target.xml:" + FakeClient::hex_digits(offset) + ",100");
      ASSERT_FALSE(part.empty());
      ASSERT_TRUE(part[0] == 'm' || part[0] == 'l') << part;
      xml += part.substr(1);
      if (part[0] == 'l') break;
      ASSERT_EQ(part.size(), 0x101u);
    }
    EXPECT_NE(xml.find("<architecture>i386</architecture>"), std::string::npos);
    EXPECT_NE(xml.find("org.gnu.gdb.i386.core"), std::string::npos);
    EXPECT_EQ(xml.rfind("</target>\n"), xml.size() - 10);
    // The g reply has every register the description lists: 16 of 4 bytes, 8 of 10, 8 of 4.
    size_t bits = 0;
    for (size_t at = xml.find("bitsize=\""); at != std::string::npos;
         at = xml.find("bitsize=\"", at + 1)) {
      bits += std::stoul(xml.substr(at + 9));
    }
    EXPECT_EQ(bits, 8 * (16 * 4 + 8 * 10 + 8 * 4u));
    EXPECT_EQ(c.request("g").size(), bits / 4);
    EXPECT_EQ(c.request("qXfer:features:read:other.xml:0,100"), "E00");
    EXPECT_EQ(c.request("c"), "W00");
  });
}

TEST_F(GdbStubTest, ABreakpointStopsAtTheSlotWithThePolicyArgument) {
  const uint32_t slot = symbol("ApplyBoardPtssTables");
  boot_with([&](FakeClient& c) {
    EXPECT_EQ(c.request("Z0," + FakeClient::hex_digits(slot) + ",1"), "OK");
    const std::string stop = c.request("c");
    EXPECT_EQ(stop.substr(0, 3), "T05");
    EXPECT_NE(stop.find("08:" + le_hex(slot) + ";"), std::string::npos) << stop;
    EXPECT_NE(stop.find("swbreak:;"), std::string::npos) << stop;
    const CpuState s = c.registers();
    EXPECT_EQ(s.eip, slot);
    EXPECT_EQ(c.read32(s.esp + 4), ram::kSetup);
    EXPECT_EQ(c.read32(s.esp + 8), ram::kPolicy);
    EXPECT_EQ(c.request("p8"), le_hex(slot));
    EXPECT_EQ(c.request("c"), "W00");
  });
  // Stopping and reading changes nothing the run reports, its instruction count included.
  EXPECT_EQ(json, plain_json());
}

TEST_F(GdbStubTest, ARemovedBreakpointStopsNoMore) {
  const uint32_t read = symbol("MmioRead32");
  boot_with([&](FakeClient& c) {
    const std::string at = FakeClient::hex_digits(read);
    EXPECT_EQ(c.request("Z0," + at + ",1"), "OK");
    EXPECT_EQ(c.registers().eip, entry());
    // A routine the boot calls again and again: the breakpoint holds across continues.
    EXPECT_NE(c.request("c").find("swbreak"), std::string::npos);
    EXPECT_EQ(c.registers().eip, read);
    EXPECT_NE(c.request("vCont;c").find("swbreak"), std::string::npos);
    EXPECT_EQ(c.registers().eip, read);
    EXPECT_EQ(c.request("z0," + at + ",1"), "OK");
    EXPECT_EQ(c.request("c"), "W00");
  });
  EXPECT_EQ(json, plain_json());
}

TEST_F(GdbStubTest, AWriteWatchpointStopsAfterEachInstructionThatChangedTheBytes) {
  // The first SATA lane record's first word: the slot writes it. The board without the stub
  // starts it at a value the debugger writes below.
  const uint32_t word = ram::kPolicy + records::kSata;
  scenario.policy.sata[0][0] = 0x5A5A5A5A;
  const Recorder plain = plain_trace(word);
  ASSERT_GE(plain.changes.size(), 2u);
  const std::string plain_run = plain_json();
  scenario.policy.sata[0][0] = 0;
  std::vector<uint32_t> stops;
  boot_with([&](FakeClient& c) {
    const std::string at = FakeClient::hex_digits(word);
    EXPECT_EQ(c.request("Z3," + at + ",4"), "");   // reads are not seen
    EXPECT_EQ(c.request("Z2,80000000,4"), "E01");  // nor registers of the chipset
    EXPECT_EQ(c.request("Z2," + at + ",4"), "OK");
    // The debugger's own write is no guest write.
    EXPECT_EQ(c.request("M" + at + ",4:5a5a5a5a"), "OK");
    for (int i = 0; i < 2; ++i) {
      const std::string stop = c.request("c");
      EXPECT_NE(stop.find("watch:" + at + ";"), std::string::npos) << stop;
      stops.push_back(c.registers().eip);
    }
    EXPECT_EQ(c.request("z2," + at + ",4"), "OK");
    EXPECT_EQ(c.request("c"), "W00");
  });
  EXPECT_EQ(stops, std::vector<uint32_t>(plain.changes.begin(), plain.changes.begin() + 2));
  EXPECT_EQ(json, plain_run);
}

TEST_F(GdbStubTest, EachStepRunsExactlyOneInstruction) {
  const std::vector<uint32_t> trace = plain_trace().addresses;
  ASSERT_GT(trace.size(), 300u);
  boot_with([&](FakeClient& c) {
    // Through calls, returns and the services' traps alike, whichever packet asks for it.
    const char* steps[] = {"s", "vCont;s:1;c", "S05", "vCont;S05"};
    for (size_t i = 1; i < 300; ++i) {
      const std::string reply = c.request(steps[i % 4]);
      ASSERT_EQ(reply.substr(0, 3), "T05") << i;
      ASSERT_EQ(c.registers().eip, trace[i]) << "step " << i;
    }
    EXPECT_EQ(c.request("c"), "W00");
  });
  EXPECT_EQ(json, plain_json());
}

TEST_F(GdbStubTest, CtrlCStopsTheRunningGuestWithSigint) {
  const std::vector<uint32_t> trace = plain_trace().addresses;
  boot_with(
      [&](FakeClient& c) {
        // The interrupt byte follows the continue at once; the stub looks for it every
        // thousand instructions.
        c.send_raw(gdb::frame("c") + "\x03");
        const std::string stop = c.receive();
        EXPECT_EQ(stop.substr(0, 3), "T02") << stop;
        EXPECT_EQ(c.registers().eip, trace[1000]);
        EXPECT_EQ(c.request("c"), "W00");
      },
      {.interrupt_poll = 1000});
  EXPECT_EQ(json, plain_json());
}

TEST_F(GdbStubTest, RegistersReadAsShownAndWriteWhereTheGuestCanChangeThem) {
  const std::vector<uint32_t> trace = plain_trace().addresses;
  const RunResult r = boot_with([&](FakeClient& c) {
    const std::string g = c.request("g");
    ASSERT_EQ(g.size(), 2 * (16 * 4 + 8 * 10 + 8 * 4u));
    EXPECT_EQ(g.substr(128), std::string(224, '0'));  // the x87 registers
    EXPECT_EQ(c.request("p10"), std::string(20, '0'));
    EXPECT_EQ(c.request("p1f"), std::string(8, '0'));
    EXPECT_EQ(c.request("p20"), "E01");
    EXPECT_EQ(c.request("P10=00000000000000000000"), "OK");
    EXPECT_EQ(c.request("P10=00000000000000000080"), "E01");
    // A segment register stays as the flat guest has it.
    const CpuState s = c.registers();
    EXPECT_EQ(c.request("Pa=" + le_hex(s.cs + 8)), "E01");
    EXPECT_EQ(c.request("P0=78563412"), "OK");
    EXPECT_EQ(c.registers().eax, 0x12345678u);
    // G writes the general registers as a whole; the fixed parts must come back unchanged.
    std::string all = c.request("g");
    all.replace(8 * 3, 8, le_hex(0xB0A7B0A7));  // ebx
    EXPECT_EQ(c.request("G" + all), "OK");
    EXPECT_EQ(c.registers().ebx, 0xB0A7B0A7u);
    std::string moved_segment = all;
    moved_segment.replace(8 * 11, 8, le_hex(s.ss + 8));
    EXPECT_EQ(c.request("G" + moved_segment), "E01");
    EXPECT_EQ(c.request("G1234"), "E01");
    // After a write the engine starts again at the stop's instruction: a step still runs it
    // and it alone.
    EXPECT_EQ(c.request("s").substr(0, 3), "T05");
    EXPECT_EQ(c.registers().eip, trace[1]);
    EXPECT_EQ(c.request("P0=" + le_hex(0x87654321)), "OK");
    EXPECT_EQ(c.request("s").substr(0, 3), "T05");
    EXPECT_EQ(c.registers().eip, trace[2]);
    EXPECT_EQ(c.request("c"), "W00");
  });
  EXPECT_FALSE(r.fault);
}

TEST_F(GdbStubTest, MemoryIsRamOnlyAndAWriteChangesTheRun) {
  const uint32_t slot = symbol("ApplyBoardPtssTables");
  boot_with([&](FakeClient& c) {
    // Registers of the chipset and unmapped pages are not memory to a debugger.
    EXPECT_EQ(c.request("m80000000,4"), "E0E");
    EXPECT_EQ(c.request("m0,4"), "E0E");
    EXPECT_EQ(c.request("mfffffffe,4"), "E0E");
    EXPECT_EQ(c.request("M80000000,1:00"), "E0E");
    // A read across the end of RAM gives the part that is RAM.
    EXPECT_EQ(c.request("m" + FakeClient::hex_digits(ram::kPolicy + ram::kPolicySize - 2) + ",8"),
              "0000");
    EXPECT_EQ(c.request("m" + FakeClient::hex_digits(ram::kPolicy + ram::kPolicySize - 2) + ",0"),
              "");
    EXPECT_EQ(c.request("mzz,4"), "E01");
    // Binary writes carry escaped bytes.
    const std::string scratch = FakeClient::hex_digits(ram::kScratch);
    EXPECT_EQ(c.request("X" + scratch + ",4:" + gdb::escape_binary("}#$*")), "OK");
    EXPECT_EQ(c.request("m" + scratch + ",4"), "7d23242a");
    EXPECT_EQ(c.request("X" + scratch + ",0:"), "OK");
    EXPECT_EQ(c.request("M" + scratch + ",2:0102"), "OK");
    EXPECT_EQ(c.request("m" + scratch + ",4"), "0102242a");
    EXPECT_EQ(c.request("M" + scratch + ",2:01"), "E01");
    // At the slot, the setup record says root port 0 has topology 3 (the record is read-only
    // to the module, not to a debugger).
    EXPECT_EQ(c.request("Z0," + FakeClient::hex_digits(slot) + ",1"), "OK");
    EXPECT_EQ(c.request("c").substr(0, 3), "T05");
    EXPECT_EQ(
        c.request("M" + FakeClient::hex_digits(ram::kSetup + records::kPcieTopology) + ",1:03"),
        "OK");
    EXPECT_EQ(c.request("c"), "W00");
  });
  const std::string written = json;
  EXPECT_NE(written, plain_json());
  // The run is the one a board with that setup gives.
  scenario.setup.pcie_topology[0] = 3;
  EXPECT_EQ(written, plain_json());
}

TEST_F(GdbStubTest, AFaultStopsWithSigsegvAndItsReasonThenTheRunEnds) {
  // The PMC's configuration registers over the image headers: the entry point's first write
  // to them is a write to read-only memory.
  scenario.pcd.pcie_base = 0xFFE06000;
  std::string console;
  const RunResult r = boot_with([&](FakeClient& c) {
    const std::string stop = c.request("c");
    EXPECT_EQ(stop.substr(0, 3), "T0b") << stop;
    EXPECT_EQ(stop.find("swbreak"), std::string::npos);
    const CpuState s = c.registers();
    EXPECT_EQ(c.request("P0=" + le_hex(s.eax + 1)), "E01");  // the run is over
    EXPECT_EQ(c.request("c"), "W01");
    EXPECT_EQ(c.receive(), "<closed>");
    console = c.console;  // said once, not again at the end
  });
  ASSERT_TRUE(r.fault);
  EXPECT_EQ(r.fault->kind, FaultKind::kWriteProtected);
  EXPECT_EQ(console, "peiboard: fault: write protected at 0xFFF00040 (module headers)\n");
  EXPECT_EQ(json, plain_json());
}

TEST_F(GdbStubTest, BytesThatAreNoInstructionStopWithSigill) {
  const uint32_t slot = symbol("ApplyBoardPtssTables");
  uint32_t stopped_at = 0;
  const RunResult r = boot_with([&](FakeClient& c) {
    // ud2 over the slot's first instruction: the code changes though it ran before.
    EXPECT_EQ(c.request("M" + FakeClient::hex_digits(slot) + ",2:0f0b"), "OK");
    EXPECT_EQ(c.request("c").substr(0, 3), "T04");
    stopped_at = c.registers().eip;
    EXPECT_EQ(c.request("c"), "W01");
  });
  EXPECT_EQ(stopped_at, slot);
  ASSERT_TRUE(r.fault);
  EXPECT_EQ(r.fault->kind, FaultKind::kInvalidInstruction);
}

TEST_F(GdbStubTest, WritesReachOnlyTheGuestsMemoryAndCodeRunsAsWritten) {
  const std::string plain = plain_json();
  // The host's own pages refuse writes: the trap page (here made `jmp $` at every trap), the
  // IDT page and the foundation's tables, whose slots lead into the host.
  const RunResult r = boot_with([&](FakeClient& c) {
    std::string spin;
    for (uint32_t i = 0; i < Machine::kTrapPageSize / 2; ++i) spin += "ebfe";
    const std::string trap = FakeClient::hex_digits(Machine::kTrapBase);
    EXPECT_EQ(c.request("M" + trap + ",4000:" + spin), "E0E");
    EXPECT_EQ(c.request("X" + trap + ",2:" + gdb::escape_binary("\xeb\xfe")), "E0E");
    EXPECT_EQ(c.request("M" + FakeClient::hex_digits(ram::kIdtBase - 4) + ",4:00000000"), "E0E");
    const uint32_t services = board().foundation().services_pointer();
    EXPECT_EQ(c.request("M" + FakeClient::hex_digits(services) + ",4:00000000"), "E0E");
    EXPECT_EQ(c.request("m" + trap + ",1"), "c3");  // read, not written
    EXPECT_EQ(c.request("D"), "OK");
  });
  EXPECT_FALSE(r.fault) << r.fault->text();
  EXPECT_EQ(json, plain);

  // ud2 over the instruction the guest stands at: the step runs it, not the bytes that were
  // there when the block was translated.
  const std::string at = FakeClient::hex_digits(entry());
  const RunResult ud2 = boot_with([&](FakeClient& c) {
    EXPECT_EQ(c.request("M" + at + ",2:0f0b"), "OK");
    EXPECT_EQ(c.request("m" + at + ",2"), "0f0b");
    EXPECT_EQ(c.request("s").substr(0, 3), "T04");
    EXPECT_EQ(c.registers().eip, entry());
    EXPECT_EQ(c.request("c"), "W01");
  });
  ASSERT_TRUE(ud2.fault);
  EXPECT_EQ(ud2.fault->kind, FaultKind::kInvalidInstruction);
  EXPECT_EQ(ud2.fault->eip, entry());
}

TEST_F(GdbStubTest, AHangStopsWhereTheGuestStandsAndAHaltSaysWhy) {
  // Every PTSS table made a million bytes of bus aborts long: the passes run out of budget.
  const uint32_t slot = symbol("ApplyBoardPtssTables");
  std::string console;
  uint32_t stopped_at = 0;
  RunResult r = boot_with([&](FakeClient& c) {
    EXPECT_EQ(c.request("Z0," + FakeClient::hex_digits(slot) + ",1"), "OK");
    EXPECT_EQ(c.request("c").substr(0, 3), "T05");
    for (const char* table :
         {"PtssTableA", "PtssTableB", "PtssTableC", "PtssTableD", "PtssTableE"}) {
      const std::string entries = le_hex(0xFFF04000), count = le_hex(50000);
      EXPECT_EQ(c.request("M" + FakeClient::hex_digits(symbol(table)) + ",8:" + entries + count),
                "OK");
    }
    EXPECT_EQ(c.request("c").substr(0, 3), "T05");
    console = c.console;
    stopped_at = c.registers().eip;
    EXPECT_EQ(c.request("c"), "W01");
  });
  ASSERT_TRUE(r.fault);
  EXPECT_EQ(r.fault->stop, StopKind::kHang);
  EXPECT_EQ(stopped_at, r.fault->eip);
  EXPECT_EQ(console.rfind("peiboard: hang: instruction budget exhausted at ", 0), 0u) << console;

  scenario.debug.halt_on_assert = true;
  scenario.platform_info.present = false;
  r = boot_with([&](FakeClient& c) {
    EXPECT_EQ(c.request("c").substr(0, 3), "T05");
    console = c.console;
    EXPECT_EQ(c.request("c"), "W01");
  });
  ASSERT_TRUE(r.fault);
  EXPECT_EQ(r.fault->stop, StopKind::kHalted);
  EXPECT_EQ(console.rfind("peiboard: halt: assertion (halt_on_assert) at ", 0), 0u) << console;
}

TEST_F(GdbStubTest, KillHaltsTheRunAtOnceEvenAfterARegisterWrite) {
  RunResult r = boot_with([](FakeClient& c) {
    c.send_raw(gdb::frame("k"));
    EXPECT_EQ(c.receive(), "<closed>");
  });
  ASSERT_TRUE(r.fault);
  EXPECT_EQ(r.fault->stop, StopKind::kHalted);
  EXPECT_EQ(r.fault->detail, "killed by the debugger");
  EXPECT_EQ(r.fault->eip, entry());
  EXPECT_FALSE(r.entry_status);

  r = boot_with([](FakeClient& c) {
    EXPECT_EQ(c.request("P0=01000000"), "OK");
    c.send_raw(gdb::frame("k"));
    EXPECT_EQ(c.receive(), "<closed>");
  });
  ASSERT_TRUE(r.fault);
  EXPECT_EQ(r.fault->detail, "killed by the debugger");
  EXPECT_EQ(r.fault->eip, entry());
}

TEST_F(GdbStubTest, DetachingOrHangingUpLetsTheRunGoOnToItsEnd) {
  const std::string plain = plain_json();
  const uint32_t read = symbol("MmioRead32");
  boot_with([&](FakeClient& c) {
    EXPECT_EQ(c.request("Z0," + FakeClient::hex_digits(read) + ",1"), "OK");
    EXPECT_EQ(c.request("D"), "OK");
    EXPECT_EQ(c.receive(), "<closed>");
  });
  EXPECT_EQ(json, plain);
  boot_with([&](FakeClient& c) {
    EXPECT_EQ(c.request("Z0," + FakeClient::hex_digits(read) + ",1"), "OK");
    EXPECT_EQ(c.request("c").substr(0, 3), "T05");
    c.hang_up();
  });
  EXPECT_EQ(json, plain);
}

TEST_F(GdbStubTest, BadChecksumsAreRefusedAndAcksStopInNoAckMode) {
  boot_with([](FakeClient& c) {
    c.send_raw("$g#00");  // wrong checksum: refused, not acted on
    c.send_raw(gdb::frame("qC"));
    EXPECT_EQ(c.receive(), "QC1");
    EXPECT_EQ(c.nacks, 1);
    EXPECT_EQ(c.acks, 1);
    // A refused reply is sent again.
    c.send_raw("-");
    EXPECT_EQ(c.receive(), "QC1");
    EXPECT_EQ(c.request("QStartNoAckMode"), "OK");
    EXPECT_EQ(c.acks, 2);
    EXPECT_EQ(c.request("qC"), "QC1");
    EXPECT_EQ(c.acks, 2);
    EXPECT_EQ(c.request("c"), "W00");
  });
}

}  // namespace
}  // namespace peiboard::testing
