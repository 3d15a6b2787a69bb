#include "chipset.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "format.h"

namespace peiboard {
namespace {

uint64_t all_ones(unsigned width) { return width >= 8 ? ~0ull : (1ull << (8 * width)) - 1; }

std::vector<uint8_t> le_bytes(uint64_t value, unsigned width) {
  std::vector<uint8_t> bytes(width);
  for (unsigned i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

uint64_t le_value(const std::vector<uint8_t>& bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes.size() && i < 8; ++i) value |= uint64_t{bytes[i]} << (8 * i);
  return value;
}

void append_name(std::string& names, const std::string& name) {
  if (name.empty() || names.find(name) != std::string::npos) return;
  names += (names.empty() ? "" : ", ") + name;
}

}  // namespace

RegisterBlock& RegisterBlock::add(Register reg) {
  if (reg.width == 0 || reg.width > 8 || reg.offset >= size_ || reg.width > size_ - reg.offset) {
    throw std::invalid_argument(name_ + ": register " + reg.name + " does not fit");
  }
  const auto at =
      std::lower_bound(registers_.begin(), registers_.end(), reg.offset,
                       [](const State& s, uint32_t o) { return s.declared.offset < o; });
  if ((at != registers_.end() && at->declared.offset < reg.offset + reg.width) ||
      (at != registers_.begin() &&
       std::prev(at)->declared.offset + std::prev(at)->declared.width > reg.offset)) {
    throw std::invalid_argument(name_ + ": register " + reg.name + " overlaps another");
  }
  State state;
  state.bytes = le_bytes(reg.value, reg.width);
  // A write-once register that already holds a value was programmed and locked before.
  state.locked = reg.kind == RegisterKind::kWriteOnce && reg.value != 0;
  state.declared = std::move(reg);
  registers_.insert(at, std::move(state));
  return *this;
}

const RegisterBlock::State* RegisterBlock::at(uint32_t offset, uint32_t* byte) const {
  auto it = std::upper_bound(registers_.begin(), registers_.end(), offset,
                             [](uint32_t o, const State& s) { return o < s.declared.offset; });
  if (it == registers_.begin()) return nullptr;
  --it;
  if (offset - it->declared.offset >= it->declared.width) return nullptr;
  *byte = offset - it->declared.offset;
  return &*it;
}

RegisterBlock::State* RegisterBlock::at(uint32_t offset, uint32_t* byte) {
  return const_cast<State*>(std::as_const(*this).at(offset, byte));
}

RegisterBlock::Access RegisterBlock::read(uint32_t offset, unsigned width) const {
  Access access;
  const State* custom = nullptr;
  uint64_t custom_value = 0;
  for (unsigned i = 0; i < width; ++i) {
    uint32_t byte = 0;
    const State* s = offset + i < size_ ? at(offset + i, &byte) : nullptr;
    uint8_t value = unmodelled_byte_;
    if (s == nullptr) {
      access.modelled = false;
    } else if (s->declared.kind == RegisterKind::kCustom) {
      if (custom != s) {  // one read of the register per access
        custom = s;
        custom_value = s->declared.on_read ? s->declared.on_read() : 0;
      }
      value = static_cast<uint8_t>(custom_value >> (8 * byte));
    } else {
      value = s->bytes[byte];
    }
    if (s) append_name(access.registers, s->declared.name);
    access.value |= uint64_t{value} << (8 * i);
  }
  return access;
}

RegisterBlock::Access RegisterBlock::write(uint32_t offset, unsigned width, uint64_t value) {
  Access access;
  access.value = value;
  std::vector<State*> touched;
  for (unsigned i = 0; i < width; ++i) {
    uint32_t byte = 0;
    State* s = offset + i < size_ ? at(offset + i, &byte) : nullptr;
    if (s == nullptr) {
      access.modelled = false;
      access.blocked = true;
      continue;
    }
    append_name(access.registers, s->declared.name);
    const uint8_t b = static_cast<uint8_t>(value >> (8 * i));
    switch (s->declared.kind) {
      case RegisterKind::kConstant:
        access.blocked = true;
        break;
      case RegisterKind::kWriteOnce:
        if (s->locked) {
          access.blocked = true;
          break;
        }
        s->bytes[byte] = b;
        touched.push_back(s);
        break;
      case RegisterKind::kReadWrite:
      case RegisterKind::kCustom:
        s->bytes[byte] = b;
        touched.push_back(s);
        break;
    }
  }
  for (State* s : touched) {
    if (s->declared.kind == RegisterKind::kWriteOnce) s->locked = true;
    if (s->declared.kind == RegisterKind::kCustom && s->declared.on_write) {
      s->declared.on_write(le_value(s->bytes));
    }
  }
  return access;
}

RegisterBlock& RegisterBlock::define(Register reg) {
  uint32_t byte = 0;
  State* s = at(reg.offset, &byte);
  if (s == nullptr) return add(std::move(reg));
  set(reg.offset, reg.width, reg.value);
  return *this;
}

uint64_t RegisterBlock::get(uint32_t offset, unsigned width) const {
  uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    uint32_t byte = 0;
    const State* s = offset + i < size_ ? at(offset + i, &byte) : nullptr;
    value |= uint64_t{s ? s->bytes[byte] : unmodelled_byte_} << (8 * i);
  }
  return value;
}

void RegisterBlock::set(uint32_t offset, unsigned width, uint64_t value) {
  for (unsigned i = 0; i < width; ++i) {
    uint32_t byte = 0;
    State* s = at(offset + i, &byte);
    if (s == nullptr) {
      // Host-side set where no register is: declare a constant byte there.
      add({offset + i, 1, RegisterKind::kConstant, {}, 0, {}, {}});
      s = at(offset + i, &byte);
    }
    s->bytes[byte] = static_cast<uint8_t>(value >> (8 * i));
  }
}

Chipset::Chipset(const Scenario& s, RunLog& log, SiteOf site_of)
    : log_(log),
      site_of_(std::move(site_of)),
      ecam_base_(s.pch.ecam_base),
      pwrm_("PWRM", hw::kPwrmSize, 0xFF) {
  using K = RegisterKind;
  const auto vendor = [](RegisterBlock& f) {
    f.add({0x00, 2, K::kConstant, "vendor id", hw::kVendorId, {}, {}});
  };
  auto& lpc = add_function(hw::kLpc, "LPC");
  vendor(lpc);
  lpc.add({0x02, 2, K::kConstant, "device id", s.pch.lpc_device_id, {}, {}});
  lpc.add({0x08, 1, K::kConstant, "revision id", s.pch.lpc_revision_id, {}, {}});

  if (s.pmc.present) {
    auto& pmc = add_function(hw::kPmc, "PMC");
    vendor(pmc);
    pmc.add({hw::kPmcAcpiBase, 4, K::kReadWrite, "ACPI base", s.pmc.acpi_base, {}, {}});
    pmc.add({hw::kPmcAcpiControl, 1, K::kReadWrite, "ACPI control", s.pmc.acpi_control, {}, {}});
    pmc.add({hw::kPmcPwrmBase, 4, K::kWriteOnce, "PWRM base", s.pmc.pwrm_base, {}, {}});
    pwrm_.add({hw::kDwrOffset, 4, K::kConstant, "DWR", s.pmc.dwr ? hw::kDwrActive : 0u, {}, {}});
  }
  if (s.heci.present) {
    auto& heci = add_function(hw::kHeci, "HECI");
    vendor(heci);
    heci.add({hw::kHeciMefs1, 4, K::kConstant, "MEFS1", s.heci.mefs1, {}, {}});
    heci.add({hw::kHeciMefs2, 4, K::kConstant, "MEFS2", s.heci.mefs2, {}, {}});
  }
  // Each controller's four root ports answer at the functions its register names; the
  // first one carries the controller's StrapFuseCfg. A later controller naming the same
  // function takes it over, as the scenario format promises.
  for (size_t c = 0; c < 5; ++c) {
    const uint32_t map = s.pch.rp_function_map[c];
    set_pcr(static_cast<uint8_t>(hw::kPortPcieController0 + c), 0, map);
    for (uint32_t k = 0; k < 4; ++k) {
      const uint32_t fn = (map >> (4 * k)) & 7;
      const uint32_t at = hw::bdf(0, hw::kControllerDevice[c], fn);
      const std::string name = "RP" + std::to_string(c * 4 + k);
      RegisterBlock* f = function(at);
      if (!f) {
        f = &add_function(at, name);
        vendor(*f);
      }
      if (k == 0) {
        f->set_name(name);
        f->define(
            {hw::kStrapFuseCfg, 4, K::kConstant, "StrapFuseCfg", s.pch.strap_fuse_cfg[c], {}, {}});
      }
    }
  }
  for (uint16_t k = 0; k < 4; ++k) {
    set_pcr(hw::kPortHsio, static_cast<uint16_t>(hw::kLaneOwnerOffset + 4 * k),
            s.pch.lane_owner[k]);
  }
  if (auto* pmc = function(hw::kPmc)) {
    pwrm_base_ = static_cast<uint32_t>(pmc->get(hw::kPmcPwrmBase, 4)) & hw::kPwrmBaseMask;
  }
}

Chipset::~Chipset() = default;

RegisterBlock* Chipset::function(uint32_t bdf) {
  auto it = functions_.find(bdf);
  return it == functions_.end() ? nullptr : &it->second;
}

RegisterBlock& Chipset::add_function(uint32_t bdf, std::string name) {
  // A present function's registers that nobody modelled read 0, as reserved ones do.
  auto [it, added] = functions_.try_emplace(bdf, std::move(name), 0x1000, 0x00);
  return it->second;
}

void Chipset::set_pcr(uint8_t port, uint16_t offset, uint32_t value) {
  char name[16];
  std::snprintf(name, sizeof name, "port 0x%02X", port);
  auto [it, added] = pcr_ports_.try_emplace(port, name, 0x10000, 0xFF);
  // PCR registers are 32 bits wide: the register is the offset's dword.
  it->second.define(
      {static_cast<uint32_t>(offset & ~3u), 4, RegisterKind::kConstant, {}, value, {}, {}});
}

template <class What>
void Chipset::log_access(bool write, uint32_t address, unsigned width, uint64_t value,
                         What&& what) {
  log_.access(write, address, width, value, site_of_(), std::forward<What>(what));
}

uint64_t Chipset::read(uint32_t address, unsigned width) {
  if (address - ecam_base_ < hw::kEcamSize) return read_ecam(address - ecam_base_, width);
  if (address - hw::kPcrBase < hw::kPcrSize) return read_pcr(address - hw::kPcrBase, width);
  if (pwrm_base_ != 0 && address - pwrm_base_ < hw::kPwrmSize) {
    const auto a = pwrm_.read(address - pwrm_base_, width);
    log_access(false, address, width, a.value, [&] {
      return std::string("PWRM+" + hex(address - pwrm_base_, 4) +
                         (a.modelled ? " " + a.registers : " (unmodelled)"));
    });
    return a.value;
  }
  ++log_.bus_aborts;
  log_access(false, address, width, all_ones(width), [&] { return std::string("bus abort"); });
  return all_ones(width);
}

void Chipset::write(uint32_t address, unsigned width, uint64_t value) {
  if (address - ecam_base_ < hw::kEcamSize) return write_ecam(address - ecam_base_, width, value);
  if (address - hw::kPcrBase < hw::kPcrSize) return write_pcr(address - hw::kPcrBase, width, value);
  if (pwrm_base_ != 0 && address - pwrm_base_ < hw::kPwrmSize) {
    const auto a = pwrm_.write(address - pwrm_base_, width, value);
    if (a.blocked) ++log_.blocked_writes;
    log_access(true, address, width, value, [&] {
      return std::string("PWRM+" + hex(address - pwrm_base_, 4) +
                         (a.modelled ? " " + a.registers : " (unmodelled)") +
                         (a.blocked ? " (dropped)" : ""));
    });
    return;
  }
  ++log_.bus_aborts;
  log_access(true, address, width, value, [&] { return std::string("bus abort (dropped)"); });
}

namespace {

std::string config_name(uint32_t offset, const RegisterBlock* f) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "config %u:%u:%u+0x%03X", offset >> 20, (offset >> 15) & 31,
                (offset >> 12) & 7, offset & 0xFFF);
  return (f ? f->name() + " " : std::string()) + buffer;
}

std::string pcr_name(uint32_t offset) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "PCR port 0x%02X+0x%04X", offset >> 16, offset & 0xFFFF);
  return buffer;
}

}  // namespace

uint64_t Chipset::read_ecam(uint32_t offset, unsigned width) {
  RegisterBlock* f = function(offset & ~0xFFFu);
  if (f == nullptr) {
    log_access(false, ecam_base_ + offset, width, all_ones(width),
               [&] { return std::string(config_name(offset, f) + " (no function)"); });
    return all_ones(width);
  }
  const auto a = f->read(offset & 0xFFF, width);
  log_access(false, ecam_base_ + offset, width, a.value, [&] {
    return std::string(config_name(offset, f) + (a.modelled ? " " + a.registers : " (unmodelled)"));
  });
  return a.value;
}

void Chipset::write_ecam(uint32_t offset, unsigned width, uint64_t value) {
  RegisterBlock* f = function(offset & ~0xFFFu);
  if (f == nullptr) {
    log_access(true, ecam_base_ + offset, width, value,
               [&] { return std::string(config_name(offset, f) + " (no function)"); });
    return;
  }
  const auto a = f->write(offset & 0xFFF, width, value);
  if (a.blocked) ++log_.blocked_writes;
  log_access(true, ecam_base_ + offset, width, value, [&] {
    return std::string(config_name(offset, f) + (a.modelled ? " " + a.registers : " (unmodelled)") +
                       (a.blocked ? " (dropped: read-only)" : ""));
  });
  if (&*f == function(hw::kPmc))
    pwrm_base_ = static_cast<uint32_t>(f->get(hw::kPmcPwrmBase, 4)) & hw::kPwrmBaseMask;
}

uint64_t Chipset::read_pcr(uint32_t offset, unsigned width) {
  auto it = pcr_ports_.find(static_cast<uint8_t>(offset >> 16));
  RegisterBlock::Access a;
  if (it == pcr_ports_.end()) {
    a.value = all_ones(width);
    a.modelled = false;
  } else {
    a = it->second.read(offset & 0xFFFF, width);
  }
  log_access(false, hw::kPcrBase + offset, width, a.value,
             [&] { return std::string(pcr_name(offset) + (a.modelled ? "" : " (unmodelled)")); });
  return a.value;
}

void Chipset::write_pcr(uint32_t offset, unsigned width, uint64_t value) {
  // The board models PCR as read-only: whatever the module writes is dropped.
  ++log_.blocked_writes;
  log_access(true, hw::kPcrBase + offset, width, value,
             [&] { return std::string(pcr_name(offset) + " (dropped: read-only model)"); });
}

}  // namespace peiboard
