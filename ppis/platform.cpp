#include "platform.h"

#include "bytes.h"
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

}  // namespace

PlatformPpis::PlatformPpis(const Scenario& scenario, Machine& machine, RunLog& log,
                           GuestArena& arena, PeiFoundation& foundation)
    : s_(scenario), machine_(machine), log_(log), arena_(arena), foundation_(foundation) {}

uint32_t PlatformPpis::table(const std::vector<uint32_t>& slots, std::string label) {
  return arena_.place(le_words(slots), 4, std::move(label));
}

uint32_t PlatformPpis::ppi(const Guid& guid, uint32_t interface, const std::string& name) {
  const uint32_t guid_at = arena_.place(guid, 4, name + " GUID");
  return table({efi::kPpiFlagPpi | efi::kPpiFlagTerminate, guid_at, interface},
               name + " descriptor");
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

void PlatformPpis::install_platform() {
  if (s_.debug.ppi_present) {
    const uint32_t print = machine_.add_trap("DebugServices.Print", [this](TrapFrame& f) {
      log_.print(f.arg(0), render(f.arg(1), f.arg(2)), f.return_address());
    });
    const uint32_t assert = machine_.add_trap("DebugServices.Assert", [this](TrapFrame& f) {
      log_.assertion(machine_.guest_cstring(f.arg(0), kMaxFormat), f.arg(1),
                     machine_.guest_cstring(f.arg(2), kMaxFormat), f.return_address());
      if (s_.debug.halt_on_assert) {
        machine_.halt("assertion (halt_on_assert)", f.return_address());
      }
    });
    foundation_.install(ppi(guids::kDebugServices, table({print, assert}, "debug services PPI"),
                            "debug services PPI"));
  }

  // PCD PPI: token 6 through the 64-bit get (slot 4), token 7 through the pointer get (5).
  if (s_.pcd.mcfg.present) {
    const size_t entries = std::max<size_t>(8, s_.pcd.mcfg.bases.size());
    std::vector<uint8_t> mcfg(16 + 16 * entries, 0);
    const char* sig = "MCFG";
    for (int i = 0; i < 4; ++i) mcfg[i] = static_cast<uint8_t>(sig[i]);
    for (int i = 0; i < 4; ++i) mcfg[4 + i] = static_cast<uint8_t>(s_.pcd.mcfg.length >> (8 * i));
    for (size_t e = 0; e < s_.pcd.mcfg.bases.size(); ++e) {
      for (int i = 0; i < 8; ++i) {
        mcfg[16 + 16 * e + i] = static_cast<uint8_t>(s_.pcd.mcfg.bases[e] >> (8 * i));
      }
      mcfg[16 + 16 * e + 11] = 0xFF;  // end bus
    }
    mcfg_table_ = arena_.place(mcfg, 8, "MCFG table (PCD token 7)");
  }
  std::vector<uint32_t> pcd_slots;
  for (uint32_t slot = 0; slot < 16; ++slot) {
    const std::string name = "Pcd." + std::to_string(slot);
    if (slot == 4) {
      pcd_slots.push_back(machine_.add_trap("Pcd.Get64", [this](TrapFrame& f) {
        const uint32_t token = f.arg(0);
        const bool known = token == 6;
        f.set_result64(known ? s_.pcd.pcie_base : 0);
        foundation_.record_ppi(
            f,
            [&] {
              return "Pcd.Get64(" + std::to_string(token) +
                     ") = " + (known ? hex(s_.pcd.pcie_base) : "0 (not provided by this board)");
            },
            known ? efi::kSuccess : efi::kUnsupported);
      }));
    } else if (slot == 5) {
      pcd_slots.push_back(machine_.add_trap("Pcd.GetPtr", [this](TrapFrame& f) {
        const uint32_t token = f.arg(0);
        const bool known = token == 7;
        const uint32_t table = s_.pcd.mcfg.pointer.value_or(mcfg_table_);
        f.set_result(known ? table : 0);
        foundation_.record_ppi(
            f,
            [&] {
              return "Pcd.GetPtr(" + std::to_string(token) +
                     ") = " + (known ? hex(table) : "0 (not provided by this board)");
            },
            known ? efi::kSuccess : efi::kUnsupported);
      }));
    } else {
      // A PCD get answers with a value, not a status: 0 for what this board lacks.
      pcd_slots.push_back(foundation_.not_provided(name, true, 0));
    }
  }
  if (s_.pcd.ppi_present) {
    foundation_.install(ppi(guids::kPcd, table(pcd_slots, "PCD PPI"), "PCD PPI"));
  }

  if (s_.me_icc.ppi_present) {
    std::vector<uint32_t> slots{
        machine_.add_trap("Heci.SendwAck", [this](TrapFrame& f) { f.set_result(heci_send(f)); })};
    for (const char* name :
         {"Heci.ReadMsg", "Heci.SendMsg", "Heci.ResetHeci", "Heci.GetMeStatus", "Heci.GetMeMode"}) {
      slots.push_back(foundation_.not_provided(name, true));
    }
    foundation_.install(ppi(guids::kHeci, table(slots, "HECI PPI"), "HECI PPI"));
  }

  if (s_.spi.ppi_present) {
    std::vector<uint32_t> slots;
    for (uint32_t slot = 0; slot < 16; ++slot) {
      if (slot == 9) {  // byte offset 36: the soft-strap read
        slots.push_back(machine_.add_trap(
            "Spi.ReadPchSoftStrap", [this](TrapFrame& f) { f.set_result(spi_read_strap(f)); }));
        continue;
      }
      slots.push_back(foundation_.not_provided("Spi." + std::to_string(slot), true));
    }
    foundation_.install(ppi(guids::kSpi, table(slots, "SPI PPI"), "SPI PPI"));
  }

  // PPIs of other modules that nothing here calls: they exist for dependency expressions.
  for (size_t i = 0; i < s_.foundation.other_ppis.size(); ++i) {
    const std::string name = "other PPI " + std::to_string(i);
    const uint32_t interface =
        arena_.place(std::vector<uint8_t>(kOtherPpiInterfaceSize, 0), 4, name + " interface");
    foundation_.install(ppi(s_.foundation.other_ppis[i], interface, name));
  }

  std::vector<uint32_t> slots;
  for (unsigned slot = 0; slot < kSystemBoardSlots; ++slot) {
    slots.push_back(
        machine_.add_trap("SystemBoard." + std::to_string(slot), [this, slot](TrapFrame& f) {
          if (board_slots_called.size() < kMaxRecorded) board_slots_called.push_back(slot);
          foundation_.record_ppi(
              f, [&] { return "stand-in board routine " + std::to_string(slot); }, 0);
          f.set_result(0);
        }));
  }
  board_interface_ = table(slots, "System Board PPI interface");
  board_descriptor_ = ppi(guids::kSystemBoard, board_interface_, "System Board PPI");
}

uint32_t PlatformPpis::install_system_board() { return foundation_.install(board_descriptor_); }

uint32_t PlatformPpis::heci_send(TrapFrame& f) {
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
  std::string what = "Heci.SendwAck(ME client " + std::to_string(r.me_address) + ", " +
                     std::to_string(r.length) + " bytes)";
  for (const auto& p : r.problems) what += "; malformed: " + p;
  ++heci_request_count;
  if (heci_requests.size() < kMaxRecorded) heci_requests.push_back(r);

  const uint32_t status = s_.me_icc.status;
  if (status == efi::kSuccess && message != 0) {
    // The reply overwrites the request in the same buffer.
    std::array<uint8_t, kIccMessageSize> reply = r.message;
    put32(reply, 4, s_.me_icc.reply_command);
    put32(reply, 8, s_.me_icc.reply_response);
    reply[23] = s_.me_icc.clocking_mode;
    machine_.guest_write(message, reply);
    if (reply_length != 0) machine_.guest_write32(reply_length, s_.me_icc.reply_length);
  }
  foundation_.record_ppi(
      f, [&] { return what; }, status);
  return status;
}

uint32_t PlatformPpis::spi_read_strap(TrapFrame& f) {
  const uint32_t offset = f.arg(1), size = f.arg(2), buffer = f.arg(3);
  std::string what = "Spi.ReadPchSoftStrap(" + hex(offset) + ", " + std::to_string(size) + ")";
  if (f.arg(0) != foundation_.locate(guids::kSpi).value_or(std::pair{0u, 0u}).second) {
    what += "; This is not the SPI interface";
  }
  uint32_t status = s_.spi.status;
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
          bytes[i] = static_cast<uint8_t>(s_.spi.soft_strap >> (8 * (at - kSoftStrapClocking)));
        }
      }
      machine_.guest_write(buffer, bytes);
    }
  }
  foundation_.record_ppi(
      f, [&] { return what; }, status);
  return status;
}

}  // namespace peiboard
