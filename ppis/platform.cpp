#include "platform.h"

#include <algorithm>
#include <span>
#include <utility>

#include "bytes.h"
#include "efi_codes.h"
#include "format.h"

namespace peiboard {
namespace {

constexpr uint32_t kIccHeaderWord = 0x00040000;
constexpr uint32_t kIccGetClockingMode = 0x1A;
constexpr uint32_t kIccBodyLength = 0x1C;
constexpr uint32_t kIccMessageSize = 48;
constexpr uint32_t kMeClientIcc = 8;
constexpr uint32_t kSoftStrapClocking = 0x1F4;
constexpr uint32_t kOtherPpiInterfaceSize = 64;  // zeros: no routine behind any slot
constexpr uint32_t kPcdTokenPcieBase = 6;        // through the 64-bit get
constexpr uint32_t kPcdTokenMcfgTable = 7;       // through the pointer get

}  // namespace

// A slot with a name of its own, and the routine behind it (none: not provided by this board).
struct PlatformPpis::SlotRoutine {
  unsigned slot;
  const char* name;
  Routine routine;
};

// One PPI as a table. Its slots get their traps in slot order; a slot without a row is named
// `slot_prefix` and its index and runs `other_slots` (or is not provided by this board).
struct PlatformPpis::Declaration {
  const char* name;             // labels its GUID and descriptor in fault reports
  const char* interface_label;  // labels its interface
  Guid guid;
  bool (*present)(const PlatformPpiConfig&) = nullptr;  // null: on every board
  // Its traps exist on every board, installed or not: the trap addresses of every later
  // routine follow from that.
  bool made_on_every_board = false;
  void (PlatformPpis::*prepare)() = nullptr;  // places what its routines answer from
  unsigned slot_count = 0;
  std::span<const SlotRoutine> named_slots;
  const char* slot_prefix = "";
  Routine other_slots = nullptr;                     // null: every other slot is not provided
  uint64_t not_provided_result = efi::kUnsupported;  // what such a slot returns (EDX:EAX)
};

std::span<const PlatformPpis::Declaration> PlatformPpis::installed_before_dispatch() {
  using P = PlatformPpis;
  static constexpr SlotRoutine kDebugSlots[] = {{0, "DebugServices.Print", &P::debug_print},
                                                {1, "DebugServices.Assert", &P::debug_assert}};
  static constexpr SlotRoutine kPcdSlots[] = {{4, "Pcd.Get64", &P::pcd_get64},
                                              {5, "Pcd.GetPtr", &P::pcd_get_ptr}};
  static constexpr SlotRoutine kHeciSlots[] = {{0, "Heci.SendwAck", &P::heci_send_with_ack},
                                               {1, "Heci.ReadMsg", nullptr},
                                               {2, "Heci.SendMsg", nullptr},
                                               {3, "Heci.ResetHeci", nullptr},
                                               {4, "Heci.GetMeStatus", nullptr},
                                               {5, "Heci.GetMeMode", nullptr}};
  // Slot 9, byte offset 36: the soft-strap read.
  static constexpr SlotRoutine kSpiSlots[] = {{9, "Spi.ReadPchSoftStrap", &P::spi_read_soft_strap}};
  static constexpr P::Declaration kPpis[] = {
      {.name = "debug services PPI",
       .interface_label = "debug services PPI",
       .guid = guids::kDebugServices,
       .present = [](const PlatformPpiConfig& c) { return c.debug.ppi_present; },
       .slot_count = 2,
       .named_slots = kDebugSlots,
       .slot_prefix = "DebugServices."},
      // Its routines and the MCFG table exist whether the PPI is installed or not.
      {.name = "PCD PPI",
       .interface_label = "PCD PPI",
       .guid = guids::kPcd,
       .present = [](const PlatformPpiConfig& c) { return c.pcd.ppi_present; },
       .made_on_every_board = true,
       .prepare = &P::place_mcfg_table,
       .slot_count = 16,
       .named_slots = kPcdSlots,
       .slot_prefix = "Pcd.",
       .not_provided_result = 0},  // a PCD get answers with a value: 0 for what is missing
      {.name = "HECI PPI",
       .interface_label = "HECI PPI",
       .guid = guids::kHeci,
       .present = [](const PlatformPpiConfig& c) { return c.me_icc.ppi_present; },
       .slot_count = 6,
       .named_slots = kHeciSlots},
      {.name = "SPI PPI",
       .interface_label = "SPI PPI",
       .guid = guids::kSpi,
       .present = [](const PlatformPpiConfig& c) { return c.spi.ppi_present; },
       .slot_count = 16,
       .named_slots = kSpiSlots,
       .slot_prefix = "Spi."},
  };
  return kPpis;
}

const PlatformPpis::Declaration& PlatformPpis::system_board() {
  static constexpr Declaration kSystemBoard{.name = "System Board PPI",
                                            .interface_label = "System Board PPI interface",
                                            .guid = guids::kSystemBoard,
                                            .slot_count = kSystemBoardSlots,
                                            .slot_prefix = "SystemBoard.",
                                            .other_slots = &PlatformPpis::stand_in_board_routine};
  return kSystemBoard;
}

PlatformPpiConfig PlatformPpiConfig::of(const Scenario& s) {
  return {s.debug, s.pcd, s.me_icc, s.spi, s.foundation.other_ppis};
}

PlatformPpis::PlatformPpis(const Scenario& scenario, Machine& machine, RunLog& log,
                           GuestArena& arena, PeiFoundation& foundation)
    : config_(PlatformPpiConfig::of(scenario)),
      machine_(machine),
      log_(log),
      arena_(arena),
      foundation_(foundation) {}

uint32_t PlatformPpis::table(const std::vector<uint32_t>& slots, std::string label) {
  return arena_.place(le_words(slots), 4, std::move(label));
}

uint32_t PlatformPpis::descriptor(const Guid& guid, uint32_t interface, const std::string& name) {
  const uint32_t guid_at = arena_.place(guid, 4, name + " GUID");
  return table({efi::kPpiFlagPpi | efi::kPpiFlagTerminate, guid_at, interface},
               name + " descriptor");
}

std::vector<uint32_t> PlatformPpis::make_slots(const Declaration& ppi) {
  std::vector<uint32_t> slots;
  for (unsigned slot = 0; slot < ppi.slot_count; ++slot) {
    const auto named = std::find_if(ppi.named_slots.begin(), ppi.named_slots.end(),
                                    [slot](const SlotRoutine& r) { return r.slot == slot; });
    const bool has_name = named != ppi.named_slots.end();
    const std::string name = has_name ? named->name : ppi.slot_prefix + std::to_string(slot);
    const Routine routine = has_name ? named->routine : ppi.other_slots;
    if (routine == nullptr) {
      slots.push_back(foundation_.not_provided(name, true, ppi.not_provided_result));
      continue;
    }
    slots.push_back(machine_.add_trap(
        name, [this, routine, slot](TrapFrame& f) { (this->*routine)(f, slot); }));
  }
  return slots;
}

uint32_t PlatformPpis::place(const Declaration& ppi, const std::vector<uint32_t>& slots) {
  return descriptor(ppi.guid, table(slots, ppi.interface_label), ppi.name);
}

void PlatformPpis::install_platform() {
  for (const Declaration& ppi : installed_before_dispatch()) {
    const bool present = ppi.present == nullptr || ppi.present(config_);
    if (!present && !ppi.made_on_every_board) continue;
    if (ppi.prepare != nullptr) (this->*ppi.prepare)();
    const std::vector<uint32_t> slots = make_slots(ppi);
    if (present) foundation_.install(place(ppi, slots));
  }
  install_other_ppis();
  place_system_board();
}

void PlatformPpis::install_other_ppis() {
  // PPIs of other modules that nothing here calls: they exist for dependency expressions.
  for (size_t i = 0; i < config_.other_ppis.size(); ++i) {
    const std::string name = "other PPI " + std::to_string(i);
    const uint32_t interface =
        arena_.place(std::vector<uint8_t>(kOtherPpiInterfaceSize, 0), 4, name + " interface");
    foundation_.install(descriptor(config_.other_ppis[i], interface, name));
  }
}

void PlatformPpis::place_system_board() {
  const Declaration& ppi = system_board();
  const std::vector<uint32_t> slots = make_slots(ppi);
  board_interface_ = table(slots, ppi.interface_label);
  board_descriptor_ = descriptor(ppi.guid, board_interface_, ppi.name);
}

uint32_t PlatformPpis::install_system_board() { return foundation_.install(board_descriptor_); }

void PlatformPpis::place_mcfg_table() {
  const McfgConfig& m = config_.pcd.mcfg;
  if (!m.present) return;
  const size_t entries = std::max<size_t>(8, m.bases.size());
  std::vector<uint8_t> mcfg(16 + 16 * entries, 0);
  const char* sig = "MCFG";
  for (int i = 0; i < 4; ++i) mcfg[i] = static_cast<uint8_t>(sig[i]);
  for (int i = 0; i < 4; ++i) mcfg[4 + i] = static_cast<uint8_t>(m.length >> (8 * i));
  for (size_t e = 0; e < m.bases.size(); ++e) {
    for (int i = 0; i < 8; ++i) mcfg[16 + 16 * e + i] = static_cast<uint8_t>(m.bases[e] >> (8 * i));
    mcfg[16 + 16 * e + 11] = 0xFF;  // end bus
  }
  mcfg_table_ = arena_.place(mcfg, 8, "MCFG table (PCD token 7)");
}

std::string PlatformPpis::render(uint32_t format, uint32_t marker) {
  // Arguments come off the guest's stack, strings out of guest memory: each is checked.
  FormatArgs args{[this, marker]() mutable {
                    const uint32_t v = machine_.guest_read32(marker);
                    marker += 4;
                    return v;
                  },
                  [this](uint32_t address) {
                    return address ? machine_.guest_cstring(address, kMaxFormat)
                                   : std::string("(null)");
                  }};
  bool cut = false;
  std::string text =
      render_format(machine_.guest_cstring(format, kMaxFormat, &cut), args, kMaxPrint);
  if (cut) text += "...(format truncated)";
  return text;
}

void PlatformPpis::debug_print(TrapFrame& f, unsigned) {
  log_.print(f.arg(0), render(f.arg(1), f.arg(2)), f.return_address());
}

void PlatformPpis::debug_assert(TrapFrame& f, unsigned) {
  log_.assertion(machine_.guest_cstring(f.arg(0), kMaxFormat), f.arg(1),
                 machine_.guest_cstring(f.arg(2), kMaxFormat), f.return_address());
  if (config_.debug.halt_on_assert) machine_.halt("assertion (halt_on_assert)", f.return_address());
}

void PlatformPpis::pcd_get64(TrapFrame& f, unsigned) {
  const uint32_t token = f.arg(0);
  const bool known = token == kPcdTokenPcieBase;
  const uint64_t base = config_.pcd.pcie_base;
  f.set_result64(known ? base : 0);
  foundation_.record_ppi(
      f,
      [&] {
        return "Pcd.Get64(" + std::to_string(token) +
               ") = " + (known ? hex(base) : "0 (not provided by this board)");
      },
      known ? efi::kSuccess : efi::kUnsupported);
}

void PlatformPpis::pcd_get_ptr(TrapFrame& f, unsigned) {
  const uint32_t token = f.arg(0);
  const bool known = token == kPcdTokenMcfgTable;
  const uint32_t table = config_.pcd.mcfg.pointer.value_or(mcfg_table_);
  f.set_result(known ? table : 0);
  foundation_.record_ppi(
      f,
      [&] {
        return "Pcd.GetPtr(" + std::to_string(token) +
               ") = " + (known ? hex(table) : "0 (not provided by this board)");
      },
      known ? efi::kSuccess : efi::kUnsupported);
}

void PlatformPpis::stand_in_board_routine(TrapFrame& f, unsigned slot) {
  if (board_slots_called.size() < kMaxRecorded) board_slots_called.push_back(slot);
  foundation_.record_ppi(
      f, [&] { return "stand-in board routine " + std::to_string(slot); }, 0);
  f.set_result(0);
}

HeciRequest PlatformPpis::read_heci_request(TrapFrame& f) const {
  HeciRequest r;
  r.heci_device = f.arg(0);
  const uint32_t message = f.arg(1);
  r.length = f.arg(2);
  const uint32_t reply_length = f.arg(3);
  r.host_address = f.arg(4) & 0xFF;
  r.me_address = f.arg(5) & 0xFF;
  if (message != 0) machine_.guest_read(message, r.message);
  if (reply_length != 0) r.reply_room = machine_.guest_read32(reply_length);
  auto word = [&](size_t at) { return get32(r.message, at); };
  auto expect = [&](bool ok, const std::string& what) {
    if (!ok) r.problems.push_back(what);
  };
  expect(message != 0, "null message");
  expect(reply_length != 0, "null reply length");
  expect(r.heci_device == 0, "HECI device " + std::to_string(r.heci_device));
  expect(r.length == kIccMessageSize, "request length " + std::to_string(r.length));
  expect(r.reply_room == kIccMessageSize, "reply room " + std::to_string(r.reply_room));
  expect(r.host_address == 0, "host address " + std::to_string(r.host_address));
  expect(r.me_address == kMeClientIcc, "ME client " + std::to_string(r.me_address));
  expect(word(0) == kIccHeaderWord, "header word " + hex(word(0)));
  expect(word(4) == kIccGetClockingMode, "command " + hex(word(4)));
  expect(word(8) == 0 && word(16) == 0, "non-zero response/reserved field");
  expect(word(12) == kIccBodyLength, "body length " + hex(word(12)));
  expect((r.message[20] | r.message[21] << 8) == 1, "request field at 20 not 1");
  return r;
}

void PlatformPpis::heci_send_with_ack(TrapFrame& f, unsigned) {
  const HeciRequest r = read_heci_request(f);
  const uint32_t message = f.arg(1), reply_length = f.arg(3);
  std::string what = "Heci.SendwAck(ME client " + std::to_string(r.me_address) + ", " +
                     std::to_string(r.length) + " bytes)";
  for (const auto& p : r.problems) what += "; malformed: " + p;
  ++heci_request_count;
  if (heci_requests.size() < kMaxRecorded) heci_requests.push_back(r);

  const MeIccConfig& me = config_.me_icc;
  if (me.status == efi::kSuccess && message != 0) {
    // The reply overwrites the request in the same buffer.
    std::array<uint8_t, kIccMessageSize> reply = r.message;
    put32(reply, 4, me.reply_command);
    put32(reply, 8, me.reply_response);
    reply[23] = me.clocking_mode;
    machine_.guest_write(message, reply);
    if (reply_length != 0) machine_.guest_write32(reply_length, me.reply_length);
  }
  foundation_.record_ppi(
      f, [&] { return what; }, me.status);
  f.set_result(me.status);
}

void PlatformPpis::spi_read_soft_strap(TrapFrame& f, unsigned) {
  const uint32_t offset = f.arg(1), size = f.arg(2), buffer = f.arg(3);
  std::string what = "Spi.ReadPchSoftStrap(" + hex(offset) + ", " + std::to_string(size) + ")";
  if (f.arg(0) != foundation_.locate(guids::kSpi).value_or(std::pair{0u, 0u}).second) {
    what += "; This is not the SPI interface";
  }
  uint32_t status = config_.spi.status;
  if (status == efi::kSuccess) {
    if (buffer == 0 || size == 0) {
      status = efi::kInvalidParameter;
    } else {
      // The whole buffer must be the guest's to write before the read fills any of it.
      machine_.check_guest(buffer, size, kWrite);
      // The strap region holds the scenario's clocking strap at 0x1F4 and zeros elsewhere.
      std::vector<uint8_t> bytes(size, 0);
      for (uint32_t i = 0; i < size; ++i) {
        const uint32_t at = offset + i;
        if (at >= kSoftStrapClocking && at < kSoftStrapClocking + 4) {
          bytes[i] =
              static_cast<uint8_t>(config_.spi.soft_strap >> (8 * (at - kSoftStrapClocking)));
        }
      }
      machine_.guest_write(buffer, bytes);
    }
  }
  foundation_.record_ppi(
      f, [&] { return what; }, status);
  f.set_result(status);
}

}  // namespace peiboard
