#include "platforms.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>

#include "memory_map.h"
#include "platform.h"
#include "scenario_loader.h"
#include "scenario_schema.h"

namespace peiboard::fuzz {

const char* mode_name(Mode mode) { return mode == Mode::kHostile ? "hostile" : "platform"; }

namespace {

constexpr uint64_t kMaxFileInteger = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
constexpr uint32_t kWindow =
    static_cast<uint32_t>(hw::kEcamSize);   // the configuration window's size and alignment
constexpr uint32_t kPlatformInfoData = 40;  // the board id is data byte 37
constexpr uint32_t kMeFwData = 16;          // function number and MEFS1 at data bytes 4 and 8

// ---- values ---------------------------------------------------------------------------------

// Values that sit on the edges of what code tests: zero, one bit, all ones, sign bits.
uint32_t edge_word(Rng& r) {
  switch (r.below(6)) {
    case 0:
      return 0;
    case 1:
      return 0xFFFFFFFFu;
    case 2:
      return 1u << r.below(32);
    case 3:
      return ~(1u << r.below(32));
    case 4:
      return static_cast<uint32_t>(r.below(17));
    default:
      return r.pick<uint32_t>({0x7FFFFFFF, 0x80000000, 0xFFFF, 0x10000, 0xFF, 0x100});
  }
}

uint32_t word(Rng& r) { return r.chance(1, 3) ? edge_word(r) : r.u32(); }

uint8_t byte(Rng& r) {
  switch (r.below(4)) {
    case 0:
      return static_cast<uint8_t>(r.below(17));
    case 1:
      return r.pick<uint8_t>({0x7F, 0x80, 0xFE, 0xFF, 14, 0x10, 0x20});
    default:
      return static_cast<uint8_t>(r.u32());
  }
}

// A small change of a value: one bit, one nibble, a step up or down, or a new byte.
template <class T>
T perturb(Rng& r, T value) {
  constexpr unsigned kBits = 8 * sizeof(T);
  switch (r.below(4)) {
    case 0:
      return static_cast<T>(value ^ (T{1} << r.below(kBits)));
    case 1: {
      const unsigned at = 4 * static_cast<unsigned>(r.below(kBits / 4));
      return static_cast<T>((value & ~(T{0xF} << at)) | (static_cast<T>(r.below(16)) << at));
    }
    case 2:
      return static_cast<T>(value + (r.coin() ? 1 : -1) * static_cast<int>(r.between(1, 4)));
    default: {
      const unsigned at = 8 * static_cast<unsigned>(r.below(sizeof(T)));
      return static_cast<T>((value & ~(T{0xFF} << at)) | (static_cast<T>(byte(r)) << at));
    }
  }
}

uint32_t status(Rng& r) {
  switch (r.below(4)) {
    case 0:
      return 0;
    case 1:
      return r.pick<uint32_t>({efi::kInvalidParameter, efi::kUnsupported, efi::kNotReady,
                               efi::kDeviceError, efi::kOutOfResources, efi::kNotFound,
                               0x80000012 /* Timeout */, 0x80000001 /* Load Error */});
    case 2:
      return r.pick<uint32_t>({1, 2, 3, 4, 0x7FFFFFFF});  // warnings
    default:
      return 0x80000000u | r.u32();
  }
}

uint16_t device_id(Rng& r) {
  switch (r.below(8)) {
    case 0:
    case 1:
      return static_cast<uint16_t>(r.coin() ? r.between(0xA1C0, 0xA1CF)
                                            : r.between(0xA240, 0xA24F));
    case 2:
      return static_cast<uint16_t>(r.between(0xA140, 0xA150));
    case 3:
      return r.pick<uint16_t>({0x9D40, 0x9D41, 0x9D42, 0x9D43, 0x9D46, 0x9D48});
    case 4:
      return r.pick<uint16_t>(
          {0xA14C, 0x9D44, 0x9D47, 0xA13F, 0xA151, 0xA1BF, 0xA1D0, 0xA23F, 0xA250, 0xFFFF, 0});
    case 5:
      return 0xA1C3;
    default:
      return static_cast<uint16_t>(r.u32());
  }
}

uint8_t revision_id(Rng& r) {
  if (r.chance(3, 4)) {
    return r.pick<uint8_t>(
        {0x00, 0x01, 0x02, 0x03, 0x04, 0x08, 0x09, 0x10, 0x11, 0x20, 0x21, 0x30, 0x31});
  }
  return byte(r);
}

// MEFS1: a state field and an operation mode, sometimes with other bits, or all ones.
uint32_t mefs1(Rng& r) {
  if (r.chance(1, 8)) return r.pick<uint32_t>({0xFFFFFFFF, 0, r.u32()});
  const uint32_t state =
      r.chance(1, 2) ? r.pick<uint32_t>({2, 4, 5, 15}) : static_cast<uint32_t>(r.below(16));
  const uint32_t mode = r.chance(1, 2) ? 15 : static_cast<uint32_t>(r.below(16));
  const uint32_t noise = r.chance(1, 4) ? r.u32() & 0xFFF0FFF0u : 0;
  return noise | mode << 16 | state;
}

// A 32-bit word of eight 4-bit codes, each from the codes the module tests or any other.
uint32_t nibbles(Rng& r, std::initializer_list<uint32_t> likely) {
  uint32_t value = 0;
  for (unsigned i = 0; i < 8; ++i) {
    const uint32_t code = r.chance(3, 4) ? likely.begin()[r.below(likely.size())]
                                         : static_cast<uint32_t>(r.below(16));
    value |= code << (4 * i);
  }
  return value;
}

// Addresses a hostile service might hand out: null, page 0, the board's RAM (writable or
// not), its ends, the windows, the image, the trap page and the top of the address space.
uint32_t garbage_pointer(Rng& r) {
  if (r.chance(1, 6)) return r.u32();
  return r.pick<uint32_t>({0,
                           4,
                           0x10,
                           0xFFC,
                           ram::kIdtPage,
                           ram::kIdtBase,
                           ram::kStackGuard,
                           ram::kStack,
                           ram::kStackTop - 4,
                           ram::kArena,
                           ram::kHobs,
                           ram::kPool,
                           ram::kSetup,
                           ram::kPolicy,
                           ram::kPolicy + ram::kPolicySize - 4,
                           ram::kTrapBase,
                           ram::kTrapBase + ram::kTrapPageSize - 4,
                           0x80000000,
                           hw::kPcrBase | hw::kPortHsio << 16 | hw::kLaneOwnerOffset,
                           hw::kDefaultPwrmBase,
                           ram::kFlashBase,
                           ram::kDefaultImageBase,
                           0xFFFFFFF0,
                           0xFFFFFFFC,
                           0xFFFFFFFF,
                           0x00001001,
                           ram::kHobs + 3});
}

Guid random_guid(Rng& r) {
  Guid g{};
  for (auto& b : g) b = static_cast<uint8_t>(r.u32());
  return g;
}

// GUIDs the module looks for, and one nobody knows.
Guid known_guid(Rng& r) {
  switch (r.below(8)) {
    case 0:
      return guids::kSystemBoard;
    case 1:
      return guids::kDebugServices;
    case 2:
      return guids::kPcd;
    case 3:
      return guids::kPlatformInfoHob;
    case 4:
      return guids::kMeFwHob;
    case 5:
      return guids::kHeci;
    case 6:
      return guids::kSpi;
    default:
      return random_guid(r);
  }
}

// ---- composite keys -------------------------------------------------------------------------

template <class Array, class Make>
void vary_array(Rng& r, Array& a, Make make) {
  if (r.coin()) {
    for (auto& v : a) v = make(r);
  } else {
    auto& v = a[r.below(a.size())];
    v = r.coin() ? make(r) : perturb(r, v);
  }
}

std::vector<uint8_t> bytes(Rng& r, size_t count) {
  std::vector<uint8_t> data(count);
  const uint8_t fill = r.coin() ? 0 : byte(r);
  for (auto& b : data) b = r.chance(1, 4) ? byte(r) : fill;
  return data;
}

GuidHobConfig guid_hob(Rng& r, Mode mode) {
  GuidHobConfig hob;
  hob.name = known_guid(r);
  size_t size = r.below(8) == 0 ? r.below(512) : r.below(72);
  if (hob.name == guids::kPlatformInfoHob) size = std::max<size_t>(size, kPlatformInfoData);
  if (hob.name == guids::kMeFwHob) size = std::max<size_t>(size, kMeFwData);
  if (mode == Mode::kHostile && r.chance(1, 3)) size = r.below(48);  // shorter than read
  hob.data = bytes(r, size);
  if (hob.name == guids::kPlatformInfoHob && hob.data.size() > 37 && r.coin()) {
    hob.data[37] = r.pick<uint8_t>({14, 0xFF, 0, 7});
  }
  if (hob.name == guids::kMeFwHob && hob.data.size() >= kMeFwData && r.coin()) {
    std::fill(hob.data.begin() + 4, hob.data.begin() + 8, 0);
    const uint32_t value = mefs1(r);
    for (unsigned i = 0; i < 4; ++i) hob.data[8 + i] = static_cast<uint8_t>(value >> (8 * i));
  }
  hob.data.resize((hob.data.size() + 7) / 8 * 8, 0);
  if (mode == Mode::kHostile) {
    if (r.chance(1, 4)) hob.type = r.pick<uint16_t>({0x0004, 0xFFFF, 0, 1, 2, 3, 6, 0x8004});
    if (r.chance(1, 3)) {
      const uint16_t true_length = static_cast<uint16_t>(24 + hob.data.size());
      hob.length = r.pick<uint16_t>(
          {0, 1, 3, 7, 8, 16, 23, 24, 25, 0xFFF8, 0xFFFF, static_cast<uint16_t>(true_length + 8),
           static_cast<uint16_t>(true_length - 8), static_cast<uint16_t>(true_length + 1),
           static_cast<uint16_t>(r.u32())});
    }
  }
  return hob;
}

PtssEntryConfig ptss_entry(Rng& r, const Scenario& s) {
  PtssEntryConfig e;
  e.register_port = r.chance(3, 4) ? r.pick<uint8_t>({0xA9, 0xEB, 0x10}) : byte(r);
  const bool direct = e.register_port == 0xEB || e.register_port == 0x10;
  e.lane = direct ? static_cast<uint8_t>(r.below(r.chance(7, 8) ? 20 : 256))
                  : static_cast<uint8_t>(r.chance(7, 8) ? r.between(4, 25) : byte(r));
  e.lane_mode = r.chance(7, 8) ? r.pick<uint8_t>({0, 2}) : byte(r);
  e.register_offset =
      r.chance(7, 8)
          ? r.pick<uint16_t>({0x098, 0x0A0, 0x150, 0x154, 0x164, 0x19C, 0x1A0, 0x1A4, 0x11C})
          : static_cast<uint16_t>(r.u32());
  e.register_value = word(r);
  e.keep_mask =
      r.chance(1, 2)
          ? r.pick<uint32_t>({0, 0xFFFFFFFF, 0xFFC0C0C0, 0xC0C0C0FF, 0xC0FFFFFF, 0xFFFFC0C0,
                              0xFF000000, 0x00FFFFFF, 0x07FFFFFF, 0x001F0000, 0x00200000})
          : word(r);
  e.topology = r.chance(7, 8) ? static_cast<uint16_t>(r.below(4)) : static_cast<uint16_t>(r.u32());
  const uint16_t board = s.platform_info.present ? s.platform_info.board_id : 0xFF;
  e.board_id =
      r.chance(7, 8) ? r.pick<uint16_t>({board, 0xFF, 14}) : static_cast<uint16_t>(r.u32());
  return e;
}

void vary_ptss_entry(Rng& r, PtssEntryConfig& e, const Scenario& s) {
  const PtssEntryConfig fresh = ptss_entry(r, s);
  switch (r.below(8)) {
    case 0:
      e.register_port = fresh.register_port;
      break;
    case 1:
      e.lane = r.coin() ? fresh.lane : perturb(r, e.lane);
      break;
    case 2:
      e.lane_mode = fresh.lane_mode;
      break;
    case 3:
      e.register_offset = fresh.register_offset;
      break;
    case 4:
      e.register_value = r.coin() ? fresh.register_value : perturb(r, e.register_value);
      break;
    case 5:
      e.keep_mask = r.coin() ? fresh.keep_mask : perturb(r, e.keep_mask);
      break;
    case 6:
      e.topology = fresh.topology;
      break;
    default:
      e.board_id = fresh.board_id;
      break;
  }
}

// A PPI the platform did not install, as LocatePpi reports it: an error and no outputs. The
// System Board PPI is not among them: the module looks for it only once it is installed.
LocateAnswer absent_ppi(Rng& r) {
  LocateAnswer a;
  a.guid = r.pick<Guid>({guids::kPcd, guids::kDebugServices, guids::kHeci, guids::kSpi});
  a.status = r.chance(3, 4) ? efi::kNotFound : 0x80000000u | status(r);
  return a;
}

bool is_absent_ppi(const LocateAnswer& a) {
  return (a.status & 0x80000000u) != 0 && !a.interface && !a.descriptor &&
         a.guid != guids::kSystemBoard;
}

LocateAnswer locate_answer(Rng& r) {
  LocateAnswer a;
  a.guid = known_guid(r);
  a.status = r.chance(2, 3) ? 0 : status(r);
  if (r.chance(7, 8)) a.interface = garbage_pointer(r);
  if (r.coin()) a.descriptor = garbage_pointer(r);
  return a;
}

// A list key: add, drop, change or duplicate one element, or make the list afresh.
template <class T, class Make, class Change>
void vary_list(Rng& r, std::vector<T>& list, size_t max, Make make, Change change) {
  switch (list.empty() ? 0 : r.below(5)) {
    case 0:
      if (list.size() < max)
        list.insert(list.begin() + static_cast<long>(r.below(list.size() + 1)), make(r));
      break;
    case 1:
      list.erase(list.begin() + static_cast<long>(r.below(list.size())));
      break;
    case 2:
      change(r, list[r.below(list.size())]);
      break;
    case 3:
      if (list.size() < max) list.push_back(list[r.below(list.size())]);
      break;
    default: {
      const size_t count = r.below(std::min<size_t>(max, 6) + 1);
      list.clear();
      for (size_t i = 0; i < count; ++i) list.push_back(make(r));
      break;
    }
  }
}

// ---- the varied keys -------------------------------------------------------------------------

// How the fuzzer makes up one key: a new value for an integer or boolean key (or for each
// element of a list of integers of fixed length), or for other keys the whole change. The
// key's field, its width and how it is copied or shortened come from the scenario schema.
using Value = std::function<uint64_t(Rng&, const Scenario&, Mode)>;
using Vary = std::function<void(Rng&, Scenario&, Mode, const SchemaKey&)>;
struct Generator {
  std::string_view key;
  Value value;
  Vary vary;
};

// A small change of a value of `bits` bits, as perturb() makes it of a field that wide.
uint64_t perturb_bits(Rng& r, uint64_t value, uint64_t max) {
  switch (std::bit_width(max)) {
    case 8:
      return perturb(r, static_cast<uint8_t>(value));
    case 16:
      return perturb(r, static_cast<uint16_t>(value));
    case 32:
      return perturb(r, static_cast<uint32_t>(value));
    default:
      return perturb(r, value);
  }
}

// A key's value anew: a boolean as made, an integer now and then perturbed instead, a list of
// integers all anew or one element changed.
Vary vary_value(Value value) {
  return [value](Rng& r, Scenario& s, Mode m, const SchemaKey& key) {
    if (key.type == KeyType::kBoolean) {
      key.set(&s, 0, value(r, s, m));
    } else if (key.type == KeyType::kInteger) {
      key.set(&s, 0, r.chance(1, 3) ? perturb_bits(r, key.get(&s, 0), key.max) : value(r, s, m));
    } else if (r.coin()) {
      for (size_t i = 0; i < key.items; ++i) key.set(&s, i, value(r, s, m));
    } else {
      const size_t i = r.below(key.items);
      key.set(&s, i, r.coin() ? value(r, s, m) : perturb_bits(r, key.get(&s, i), key.max));
    }
  };
}

// What a key the generators below do not name gets: any value its field holds.
Value any_value(const SchemaKey& key) {
  if (key.type == KeyType::kBoolean) return [](Rng& r, const Scenario&, Mode) { return r.coin(); };
  return [max = key.max](Rng& r, const Scenario&, Mode) {
    return max <= 0xFF ? byte(r) : (r.next() & max);
  };
}

Value mostly(bool likely) {
  return [likely](Rng& r, const Scenario&, Mode) { return r.chance(7, 8) ? likely : !likely; };
}

Value any_word() {
  return [](Rng& r, const Scenario&, Mode) { return word(r); };
}

Value topology() {
  return [](Rng& r, const Scenario&, Mode) { return r.chance(3, 4) ? r.below(4) : byte(r); };
}

// A list key of Elem: `change` gets the list itself.
template <class List>
Vary list_of(std::function<void(Rng&, List&, const Scenario&, Mode)> change) {
  return [change](Rng& r, Scenario& s, Mode m, const SchemaKey& key) {
    change(r, key_field<List>(key, s), s, m);
  };
}

// Lane records of the policy: a few words set, the rest zero; the minimizer drops records
// from the end (a file lists the leading ones).
Vary policy_records() {
  return [](Rng& r, Scenario& s, Mode, const SchemaKey& key) {
    const auto vary = [&r](auto& records) {
      if (r.chance(1, 4)) {
        records = {};
        return;
      }
      auto& record = records[r.below(records.size())];
      record[r.below(record.size())] = word(r);
    };
    if (*key.field == typeid(s.policy.sata))
      return vary(key_field<decltype(s.policy.sata)>(key, s));
    if (*key.field == typeid(s.policy.ssata))
      return vary(key_field<decltype(s.policy.ssata)>(key, s));
    vary(key_field<decltype(s.policy.pcie_rp)>(key, s));
  };
}

std::vector<Generator> pch_generators() {
  return {
      {"pch.lpc_device_id", [](Rng& r, const Scenario&, Mode) { return device_id(r); }, {}},
      {"pch.lpc_revision_id", [](Rng& r, const Scenario&, Mode) { return revision_id(r); }, {}},
      {"pch.ecam_base",
       [](Rng& r, const Scenario&, Mode) {
         return r.coin() ? 0x80000000u : static_cast<uint32_t>(r.between(1, 14)) * kWindow;
       },
       {}},
      {"pch.lane_owner",
       [](Rng& r, const Scenario&, Mode) {
         return r.chance(1, 8) ? word(r) : nibbles(r, {0, 2, 1, 3, 0xF});
       },
       {}},
      {"pch.rp_function_map",
       [](Rng& r, const Scenario&, Mode) {
         return r.chance(1, 8) ? word(r) : nibbles(r, {0, 1, 2, 3, 4, 5, 6, 7});
       },
       {}},
      {"pch.strap_fuse_cfg",
       [](Rng& r, const Scenario&, Mode) {
         const uint32_t grouping = static_cast<uint32_t>(r.below(4)) << 14;
         return r.chance(1, 4) ? (word(r) & ~0xC000u) | grouping : grouping;
       },
       {}},
      {"pmc.present", mostly(true), {}},
      {"pmc.acpi_base",
       [](Rng& r, const Scenario&, Mode) {
         return static_cast<uint16_t>(r.coin() ? r.pick<uint32_t>({0, 0x500, 0x1800, 0xFFFF})
                                               : r.u32());
       },
       {}},
      {"pmc.acpi_control",
       [](Rng& r, const Scenario&, Mode) {
         return r.chance(3, 4) ? r.pick<uint8_t>({0, 0x80, 0x07, 0x87, 0x7F, 0xFF}) : byte(r);
       },
       {}},
      {"pmc.pwrm_base",
       [](Rng& r, const Scenario&, Mode) {
         const uint32_t base = r.coin()         ? hw::kDefaultPwrmBase
                               : r.chance(1, 4) ? 0u
                                                : r.u32() & hw::kPwrmBaseMask;
         return r.chance(1, 4) ? base | (r.u32() & 0xFFFF) : base;
       },
       {}},
      {"pmc.dwr", mostly(false), {}},
      {"heci.present", mostly(true), {}},
      {"heci.mefs1", [](Rng& r, const Scenario&, Mode) { return mefs1(r); }, {}},
      {"heci.mefs2", any_word(), {}},
  };
}

void vary_guid_hobs(Rng& r, std::vector<GuidHobConfig>& hobs, const Scenario&, Mode m) {
  vary_list(
      r, hobs, 8, [m](Rng& rr) { return guid_hob(rr, m); },
      [m](Rng& rr, GuidHobConfig& h) {
        const GuidHobConfig fresh = guid_hob(rr, m);
        if (rr.coin()) {
          h.data = fresh.data;
        } else if (!h.data.empty()) {
          auto& b = h.data[rr.below(h.data.size())];
          b = perturb(rr, b);
        }
        if (m == Mode::kHostile && rr.coin()) {
          h.type = fresh.type;
          h.length = fresh.length;
        }
      });
}

std::vector<Generator> hob_and_ppi_generators() {
  return {
      {"hob.platform_info.present", mostly(true), {}},
      {"hob.platform_info.board_id", [](Rng& r, const Scenario&, Mode) { return byte(r); }, {}},
      {"hob.me_fw.present", [](Rng& r, const Scenario&, Mode) { return r.coin(); }, {}},
      {"hob.me_fw.fun_number",
       [](Rng& r, const Scenario&, Mode) { return r.coin() ? 0u : edge_word(r); },
       {}},
      {"hob.me_fw.mefs1", [](Rng& r, const Scenario&, Mode) { return mefs1(r); }, {}},
      {"hob.guid", {}, list_of<std::vector<GuidHobConfig>>(vary_guid_hobs)},
      {"me_icc.ppi_present", mostly(true), {}},
      {"me_icc.status", [](Rng& r, const Scenario&, Mode) { return status(r); }, {}},
      {"me_icc.reply_command",
       [](Rng& r, const Scenario&, Mode) {
         return r.coin() ? r.pick<uint32_t>({0x1A, 0x1B, 0, 0x1A1A}) : word(r);
       },
       {}},
      {"me_icc.reply_response",
       [](Rng& r, const Scenario&, Mode) { return r.coin() ? 0u : word(r); },
       {}},
      {"me_icc.clocking_mode",
       [](Rng& r, const Scenario&, Mode) {
         return r.chance(3, 4) ? r.pick<uint8_t>({0x00, 0x10, 0x01, 0x11, 0x02, 0x12, 0x03, 0x13})
                               : byte(r);
       },
       {}},
      {"me_icc.reply_length",
       [](Rng& r, const Scenario&, Mode) { return r.coin() ? 48u : word(r); },
       {}},
      {"spi.ppi_present", mostly(true), {}},
      {"spi.status", [](Rng& r, const Scenario&, Mode) { return status(r); }, {}},
      {"spi.soft_strap",
       [](Rng& r, const Scenario&, Mode) {
         const uint32_t choice = static_cast<uint32_t>(r.below(4));
         return r.chance(1, 3) ? (word(r) & ~3u) | choice : choice;
       },
       {}},
  };
}

void vary_mcfg_bases(Rng& r, std::vector<uint64_t>& bases, const Scenario& s, Mode m) {
  const auto base = [ecam = s.pch.ecam_base, m](Rng& rr) -> uint64_t {
    if (m == Mode::kHostile && rr.coin()) {
      return rr.coin() ? uint64_t{garbage_pointer(rr)} : rr.next() & kMaxFileInteger;
    }
    return rr.coin() ? ecam : 0;
  };
  vary_list(r, bases, 12, base, [&base](Rng& rr, uint64_t& b) { b = base(rr); });
}

// A table of its own now and then (a few entries, or a long one), else one entry changed.
void vary_ptss(Rng& r, Scenario& s, Mode, const SchemaKey&) {
  if (!s.ptss.entries || r.chance(1, 16)) {
    const size_t count = r.chance(1, 16) ? r.below(257) : r.below(9);
    s.ptss.entries.emplace();
    for (size_t i = 0; i < count; ++i) s.ptss.entries->push_back(ptss_entry(r, s));
    return;
  }
  vary_list(
      r, *s.ptss.entries, 256, [&s](Rng& rr) { return ptss_entry(rr, s); },
      [&s](Rng& rr, PtssEntryConfig& e) { vary_ptss_entry(rr, e, s); });
}

std::vector<Generator> pcd_and_record_generators() {
  return {
      {"pcd.pcie_base",
       [](Rng& r, const Scenario& s, Mode m) -> uint64_t {
         const uint64_t high = r.chance(1, 8) ? (r.next() & kMaxFileInteger) >> 32 << 32 : 0;
         if (m == Mode::kPlatform || r.coin()) return high | s.pch.ecam_base;
         return high | garbage_pointer(r);
       },
       {}},
      {"pcd.mcfg.length",
       [](Rng& r, const Scenario& s, Mode m) -> uint32_t {
         const uint32_t entries =
             static_cast<uint32_t>(std::max<size_t>(8, s.pcd.mcfg.bases.size()));
         if (m == Mode::kPlatform || r.coin()) return r.coin() ? 0 : 16 + 16 * entries;
         return r.coin() ? r.pick<uint32_t>({1, 15, 16, 17, 31, 32, 48, 16 + 16 * (entries + 1)})
                         : word(r);
       },
       {}},
      {"pcd.mcfg.bases", {}, list_of<std::vector<uint64_t>>(vary_mcfg_bases)},
      {"setup.sata_topology", topology(), {}},
      {"setup.ssata_topology", topology(), {}},
      {"setup.pcie_topology", topology(), {}},
      {"policy.sata", {}, policy_records()},
      {"policy.ssata", {}, policy_records()},
      {"policy.pcie_rp", {}, policy_records()},
      {"policy.pcie_direct", {}, policy_records()},
      {"ptss.entries", {}, vary_ptss},
      {"debug.ppi_present", mostly(true), {}},
      // Which PPIs exist before dispatch, and whether the System Board PPI is one of them.
      {"pcd.ppi_present", mostly(true), {}},
      {"foundation.system_board_ppi",
       {},
       [](Rng& r, Scenario& s, Mode, const SchemaKey& key) {
         key_field<SystemBoardOrder>(key, s) =
             r.coin() ? SystemBoardOrder::kBeforeEntry : SystemBoardOrder::kAfterEntry;
       }},
      {"debug.halt_on_assert", mostly(false), {}},
  };
}

// A pointer from a service that breaks its contract.
Vary pointer(std::function<uint32_t(Rng&)> make) {
  return [make](Rng& r, Scenario& s, Mode, const SchemaKey& key) {
    key_field<std::optional<uint32_t>>(key, s) = make(r);
  };
}

// Contracts broken (the schema marks these keys hostile), and PPIs absent within the
// contracts or any answer at all in hostile mode.
std::vector<Generator> contract_generators() {
  return {
      {"pcd.mcfg.present", mostly(false), {}},
      {"pcd.mcfg.pointer", {}, pointer(garbage_pointer)},
      {"hob.end", mostly(false), {}},
      {"foundation.hob_list", {}, pointer([](Rng& r) {
         return r.coin() ? garbage_pointer(r) : ram::kHobs + static_cast<uint32_t>(r.below(0x200));
       })},
      {"foundation.pool", {}, pointer(garbage_pointer)},
      {"foundation.locate",
       {},
       list_of<std::vector<LocateAnswer>>(
           [](Rng& r, std::vector<LocateAnswer>& answers, const Scenario&, Mode m) {
             const auto make = m == Mode::kHostile ? locate_answer : absent_ppi;
             vary_list(r, answers, 8, make, [make](Rng& rr, LocateAnswer& a) { a = make(rr); });
           })},
  };
}

VariedKey varied_key(const SchemaKey& key, Vary vary) {
  if (key.fuzzed == Fuzzed::kNever) {
    throw std::logic_error("the fuzzer varies '" + std::string(key.path) +
                           "', which the scenario schema keeps from it");
  }
  if (!vary) throw std::logic_error("no way to vary '" + std::string(key.path) + "'");
  return VariedKey{key.path,
                   key.fuzzed == Fuzzed::kHostile,
                   [&key, vary](Rng& r, Scenario& s, Mode m) { vary(r, s, m, key); },
                   [&key](Scenario& to, const Scenario& from) { key.copy(&to, &from); },
                   key.count ? std::function<size_t(const Scenario&)>(
                                   [&key](const Scenario& s) { return key.count(&s); })
                             : nullptr,
                   key.erase ? std::function<void(Scenario&, size_t)>(
                                   [&key](Scenario& s, size_t i) { key.erase(&s, i); })
                             : nullptr};
}

// The generators' keys in their order, then every other key the schema lets the fuzzer vary,
// with any value its field holds.
std::vector<VariedKey> make_varied_keys() {
  std::vector<Generator> generators;
  for (auto group :
       {pch_generators, hob_and_ppi_generators, pcd_and_record_generators, contract_generators}) {
    for (Generator& g : group()) generators.push_back(std::move(g));
  }
  std::vector<VariedKey> keys;
  for (const Generator& g : generators) {
    const SchemaKey& key = schema_key(g.key);
    keys.push_back(varied_key(key, g.vary ? g.vary : vary_value(g.value)));
  }
  for (const SchemaKey& key : scenario_schema()) {
    const bool named = std::any_of(generators.begin(), generators.end(),
                                   [&key](const Generator& g) { return g.key == key.path; });
    if (key.fuzzed == Fuzzed::kNever || named) continue;
    keys.push_back(varied_key(key, key.set ? vary_value(any_value(key)) : Vary{}));
  }
  return keys;
}

}  // namespace

PlatformSpace::PlatformSpace(Mode mode)
    : mode_(mode), base_(default_scenario()), varied_keys_(make_varied_keys()) {
  base_.expect = {};  // the default board's expectations are of its own run only
  if (mode_ == Mode::kPlatform) {
    std::erase_if(varied_keys_, [](const VariedKey& s) { return s.hostile; });
  }
}

Scenario PlatformSpace::generate(Rng& rng) const {
  Scenario s = base_;
  // Each key made up afresh with one chance in four, the others left as the default board has
  // them: a working board with a few things changed reaches deeper than noise everywhere.
  for (const VariedKey& varied : varied_keys_) {
    if (rng.chance(1, 4)) varied.vary(rng, s, mode_);
  }
  conform(s);
  return s;
}

Scenario PlatformSpace::mutate(Rng& rng, const Scenario& parent, const Scenario* other) const {
  Scenario s = parent;
  if (other != nullptr && rng.chance(1, 8)) {
    for (const VariedKey& varied : varied_keys_) {
      if (rng.coin()) varied.assign(s, *other);
    }
  }
  // One to a few keys, fewer more often.
  unsigned changes = 1;
  while (changes < 8 && rng.chance(1, 2)) ++changes;
  for (unsigned i = 0; i < changes; ++i) {
    const VariedKey& varied = varied_keys_[rng.below(varied_keys_.size())];
    if (rng.chance(1, 8)) {
      varied.assign(s, base_);  // back to the default: whether the key matters at all
    } else {
      varied.vary(rng, s, mode_);
    }
  }
  conform(s);
  return s;
}

void PlatformSpace::conform(Scenario& s) const {
  // The configuration window on a 256 MiB boundary the board has room for.
  const uint32_t ecam = s.pch.ecam_base;
  if (ecam % kWindow != 0 || ecam < kEcamLowest || ecam > kEcamHighest) {
    s.pch.ecam_base = base_.pch.ecam_base;
  }
  if (mode_ == Mode::kPlatform) {
    // PCD token 6 is the configuration window's base (its high half is not used); the MCFG
    // table is there, of length 0 or covering exactly its entries, with entry 0 naming the
    // window or 0 for token 6.
    s.pcd.pcie_base = (s.pcd.pcie_base & ~uint64_t{0xFFFFFFFF}) | s.pch.ecam_base;
    McfgConfig& m = s.pcd.mcfg;
    m.present = true;
    m.pointer.reset();
    if (!m.bases.empty() && m.bases[0] != 0) m.bases[0] = s.pch.ecam_base;
    if (m.length != 0)
      m.length = static_cast<uint32_t>(16 + 16 * std::max<size_t>(8, m.bases.size()));
    // GUID HOBs hold at least what the module reads of them.
    for (GuidHobConfig& hob : s.guid_hobs) {
      hob.type.reset();
      hob.length.reset();
      if (hob.name == guids::kPlatformInfoHob && hob.data.size() < kPlatformInfoData) {
        hob.data.resize(kPlatformInfoData, 0);
      }
      if (hob.name == guids::kMeFwHob && hob.data.size() < kMeFwData) hob.data.resize(kMeFwData, 0);
    }
    s.hob_list = base_.hob_list;
    s.foundation.hob_list.reset();
    s.foundation.pool.reset();
    std::erase_if(s.foundation.locate, [](const LocateAnswer& a) { return !is_absent_ppi(a); });
  }
  // What a file can hold: 64-bit values below 2^63.
  s.pcd.pcie_base &= kMaxFileInteger;
  for (uint64_t& base : s.pcd.mcfg.bases) base &= kMaxFileInteger;
  // The layout a board can hold: the PWRM block clear of everything else.
  if (!check_layout(s))
    s.pmc.pwrm_base = (s.pmc.pwrm_base & ~hw::kPwrmBaseMask) | hw::kDefaultPwrmBase;
  while (!check_layout(s) && !s.guid_hobs.empty()) s.guid_hobs.pop_back();
}

}  // namespace peiboard::fuzz
