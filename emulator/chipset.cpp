#include "chipset.h"

#include <algorithm>
#include <cstdio>

#include "format.h"

namespace peiboard {
namespace {

uint64_t all_ones(unsigned width) { return width >= 8 ? ~0ull : (1ull << (8 * width)) - 1; }

}  // namespace

void ConfigFunction::set(uint32_t offset, unsigned width, uint64_t value) {
  for (unsigned i = 0; i < width && offset + i < space.size(); ++i) {
    space[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

uint64_t ConfigFunction::get(uint32_t offset, unsigned width) const {
  uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    const uint64_t byte = offset + i < space.size() ? space[offset + i] : 0xFF;
    value |= byte << (8 * i);
  }
  return value;
}

class Chipset::Ecam final : public MmioDevice {
 public:
  explicit Ecam(Chipset& c) : c_(c) {}
  uint64_t read(uint32_t offset, unsigned width) override {
    const uint32_t reg = offset & 0xFFF;
    auto* f = c_.function(offset & ~0xFFFu);
    const uint64_t value = f ? f->get(reg, width) : all_ones(width);
    c_.log_access(false, c_.ecam_base_ + offset, width, value, describe(offset, f));
    return value;
  }
  void write(uint32_t offset, unsigned width, uint64_t value) override {
    auto* f = c_.function(offset & ~0xFFFu);
    if (f) f->set(offset & 0xFFF, width, value);
    c_.log_access(true, c_.ecam_base_ + offset, width, value, describe(offset, f));
  }

 private:
  static std::string describe(uint32_t offset, const ConfigFunction* f) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "config %u:%u:%u+0x%03X%s", offset >> 20,
                  (offset >> 15) & 31, (offset >> 12) & 7, offset & 0xFFF,
                  f ? "" : " (no function)");
    return (f ? f->name + " " : std::string()) + buffer;
  }
  Chipset& c_;
};

class Chipset::Pcr final : public MmioDevice {
 public:
  explicit Pcr(Chipset& c) : c_(c) {}
  uint64_t read(uint32_t offset, unsigned width) override {
    auto it = c_.pcr_.find(offset & ~3u);
    const bool modelled = it != c_.pcr_.end() && width == 4 && (offset & 3) == 0;
    const uint64_t value = modelled ? it->second : all_ones(width);
    c_.log_access(false, hw::kPcrBase + offset, width, value, describe(offset, modelled));
    return value;
  }
  void write(uint32_t offset, unsigned width, uint64_t value) override {
    c_.log_access(true, hw::kPcrBase + offset, width, value,
                  describe(offset, false) + " (dropped: read-only model)");
  }

 private:
  static std::string describe(uint32_t offset, bool modelled) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "PCR port 0x%02X+0x%04X%s", offset >> 16, offset & 0xFFFF,
                  modelled ? "" : " (unmodelled)");
    return buffer;
  }
  Chipset& c_;
};

class Chipset::Pwrm final : public MmioDevice {
 public:
  explicit Pwrm(Chipset& c) : c_(c) {}
  uint64_t read(uint32_t offset, unsigned width) override {
    const bool dwr = offset == hw::kDwrOffset && width == 4;
    const uint64_t value = dwr ? (c_.dwr_ ? hw::kDwrActive : 0) : all_ones(width);
    c_.log_access(false, c_.pwrm_base_ + offset, width, value,
                  dwr ? "PWRM DWR register" : "PWRM+" + hex(offset, 4) + " (unmodelled)");
    return value;
  }
  void write(uint32_t offset, unsigned width, uint64_t value) override {
    c_.log_access(true, c_.pwrm_base_ + offset, width, value,
                  "PWRM+" + hex(offset, 4) + " (dropped)");
  }

 private:
  Chipset& c_;
};

// Nothing decodes here: reads give all ones, writes are dropped, and both are recorded.
class Chipset::Abort final : public MmioDevice {
 public:
  Abort(Chipset& c, uint32_t base) : c_(c), base_(base) {}
  uint64_t read(uint32_t offset, unsigned width) override {
    ++c_.log_.bus_aborts;
    c_.log_access(false, base_ + offset, width, all_ones(width), "bus abort");
    return all_ones(width);
  }
  void write(uint32_t offset, unsigned width, uint64_t value) override {
    ++c_.log_.bus_aborts;
    c_.log_access(true, base_ + offset, width, value, "bus abort (dropped)");
  }

 private:
  Chipset& c_;
  uint32_t base_;
};

Chipset::Chipset(const Scenario& s, Machine& machine, RunLog& log, RoutineOf routine_of)
    : machine_(machine),
      log_(log),
      routine_of_(std::move(routine_of)),
      ecam_base_(s.pch.ecam_base) {
  auto& lpc = add_function(hw::kLpc, "LPC");
  lpc.set(0x00, 2, hw::kVendorId);
  lpc.set(0x02, 2, s.pch.lpc_device_id);
  lpc.set(0x08, 1, s.pch.lpc_revision_id);

  if (s.pmc.present) {
    auto& pmc = add_function(hw::kPmc, "PMC");
    pmc.set(0x00, 2, hw::kVendorId);
    pmc.set(0x40, 2, s.pmc.acpi_base);
    pmc.set(0x44, 1, s.pmc.acpi_control);
    pmc.set(0x48, 4, s.pmc.pwrm_base);
    pwrm_base_ = s.pmc.pwrm_base & 0xFFFF0000u;
    dwr_ = s.pmc.dwr;
  }
  if (s.heci.present) {
    auto& heci = add_function(hw::kHeci, "HECI");
    heci.set(0x00, 2, hw::kVendorId);
    heci.set(0x40, 4, s.heci.mefs1);
    heci.set(0x48, 4, s.heci.mefs2);
  }
  // Each controller's four root ports answer at the functions its register names; the
  // first one carries the controller's StrapFuseCfg. A later controller naming the same
  // function overwrites it, as the scenario format promises.
  for (size_t c = 0; c < 5; ++c) {
    const uint32_t map = s.pch.rp_function_map[c];
    set_pcr(static_cast<uint8_t>(hw::kPortPcieController0 + c), 0, map);
    for (uint32_t k = 0; k < 4; ++k) {
      const uint32_t fn = (map >> (4 * k)) & 7;
      const uint32_t at = hw::bdf(0, hw::kControllerDevice[c], fn);
      char name[32];
      std::snprintf(name, sizeof name, "RP%zu", c * 4 + k);
      auto* f = function(at);
      if (!f) f = &add_function(at, name);
      if (k == 0) {
        f->name = name;
        f->set(0x00, 2, hw::kVendorId);
        f->set(hw::kStrapFuseCfg, 4, s.pch.strap_fuse_cfg[c]);
      } else if (f->get(0, 2) == 0) {
        f->set(0x00, 2, hw::kVendorId);
      }
    }
  }
  for (uint16_t k = 0; k < 4; ++k) {
    set_pcr(hw::kPortHsio, static_cast<uint16_t>(hw::kLaneOwnerOffset + 4 * k),
            s.pch.lane_owner[k]);
  }
}

Chipset::~Chipset() = default;

ConfigFunction* Chipset::function(uint32_t bdf) {
  auto it = functions_.find(bdf);
  return it == functions_.end() ? nullptr : &it->second;
}

ConfigFunction& Chipset::add_function(uint32_t bdf, std::string name) {
  auto& f = functions_[bdf];
  f.name = std::move(name);
  return f;
}

void Chipset::set_pcr(uint8_t port, uint16_t offset, uint32_t value) {
  pcr_[static_cast<uint32_t>(port) << 16 | offset] = value;
}

void Chipset::log_access(bool write, uint32_t address, unsigned width, uint64_t value,
                         std::string what) {
  log_.access(write, address, width, value, routine_of_(), std::move(what));
}

void Chipset::map(const std::vector<std::pair<uint32_t, uint64_t>>& taken) {
  std::vector<std::pair<uint64_t, uint64_t>> regions(taken.begin(), taken.end());
  auto add = [&](uint32_t base, uint64_t size, std::unique_ptr<MmioDevice> device) {
    machine_.map_device(base, size, *device);
    devices_.push_back(std::move(device));
    regions.emplace_back(base, size);
  };
  add(ecam_base_, hw::kEcamSize, std::make_unique<Ecam>(*this));
  add(hw::kPcrBase, hw::kPcrSize, std::make_unique<Pcr>(*this));
  const auto overlaps = [&](uint64_t base, uint64_t size) {
    return std::any_of(regions.begin(), regions.end(), [&](const auto& r) {
      return base < r.first + r.second && r.first < base + size;
    });
  };
  if (pwrm_base_ != 0 && !overlaps(pwrm_base_, hw::kPwrmSize)) {
    add(pwrm_base_, hw::kPwrmSize, std::make_unique<Pwrm>(*this));
  }
  // Page 0 stays unmapped so that a null pointer faults instead of reading RAM.
  regions.emplace_back(0, 0x1000);
  std::sort(regions.begin(), regions.end());
  uint64_t cursor = 0;
  for (const auto& [base, size] : regions) {
    if (base > cursor) {
      auto abort = std::make_unique<Abort>(*this, static_cast<uint32_t>(cursor));
      machine_.map_device(static_cast<uint32_t>(cursor), base - cursor, *abort);
      devices_.push_back(std::move(abort));
    }
    cursor = std::max(cursor, base + size);
  }
  if (cursor < 0x100000000ull) {
    auto abort = std::make_unique<Abort>(*this, static_cast<uint32_t>(cursor));
    machine_.map_device(static_cast<uint32_t>(cursor), 0x100000000ull - cursor, *abort);
    devices_.push_back(std::move(abort));
  }
}

}  // namespace peiboard
