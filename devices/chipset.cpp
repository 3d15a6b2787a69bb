#include "chipset.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "format.h"

namespace peiboard {
namespace {

uint64_t all_ones(unsigned width) { return width >= 8 ? ~0ull : (1ull << (8 * width)) - 1; }

}  // namespace

Chipset::Chipset(const Scenario& s, RunLog& log, AccessOrigin origin)
    : log_(log),
      origin_(std::move(origin)),
      ecam_base_(s.pch.ecam_base),
      lpc_(s),
      root_ports_(s),
      pcr_(s) {
  functions_.reserve(3 + root_ports_.functions().size());
  functions_.emplace_back(hw::kLpc, &lpc_.config());
  if (s.pmc.present) functions_.emplace_back(hw::kPmc, &pmc_.emplace(s).config());
  if (s.heci.present) functions_.emplace_back(hw::kHeci, &heci_.emplace(s).config());
  for (auto& [bdf, config] : root_ports_.functions()) functions_.emplace_back(bdf, &config);
  std::sort(functions_.begin(), functions_.end());
}

Chipset::~Chipset() = default;

RegisterBlock* Chipset::function(uint32_t bdf) {
  auto it = std::lower_bound(functions_.begin(), functions_.end(), bdf,
                             [](const auto& f, uint32_t b) { return f.first < b; });
  return it == functions_.end() || it->first != bdf ? nullptr : it->second;
}

template <class What>
void Chipset::log_access(bool write, uint32_t address, unsigned width, uint64_t value,
                         What&& what) {
  log_.access(write, address, width, value, origin_(), std::forward<What>(what));
}

uint64_t Chipset::read(uint32_t address, unsigned width) {
  if (address - ecam_base_ < hw::kEcamSize) return read_ecam(address - ecam_base_, width);
  if (address - hw::kPcrBase < hw::kPcrSize) return read_pcr(address - hw::kPcrBase, width);
  if (const uint32_t pwrm = pwrm_base(); pwrm != 0 && address - pwrm < hw::kPwrmSize) {
    return read_pwrm(address, width);
  }
  ++log_.bus_aborts;
  log_access(false, address, width, all_ones(width), [&] { return std::string("bus abort"); });
  return all_ones(width);
}

void Chipset::write(uint32_t address, unsigned width, uint64_t value) {
  if (address - ecam_base_ < hw::kEcamSize) return write_ecam(address - ecam_base_, width, value);
  if (address - hw::kPcrBase < hw::kPcrSize) return write_pcr(address - hw::kPcrBase, width, value);
  if (const uint32_t pwrm = pwrm_base(); pwrm != 0 && address - pwrm < hw::kPwrmSize) {
    return write_pwrm(address, width, value);
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
  // The PWRM base may have been programmed: the block decodes where it says now.
  if (pmc_ && f == &pmc_->config()) pmc_->decode_pwrm();
}

uint64_t Chipset::read_pcr(uint32_t offset, unsigned width) {
  const RegisterBlock* port = pcr_.port(static_cast<uint8_t>(offset >> 16));
  RegisterBlock::Access a;
  if (port == nullptr) {
    a.value = all_ones(width);
    a.modelled = false;
  } else {
    a = port->read(offset & 0xFFFF, width);
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

uint64_t Chipset::read_pwrm(uint32_t address, unsigned width) {
  const uint32_t offset = address - pmc_->pwrm_base();
  const auto a = pmc_->pwrm().read(offset, width);
  log_access(false, address, width, a.value, [&] {
    return std::string("PWRM+" + hex(offset, 4) +
                       (a.modelled ? " " + a.registers : " (unmodelled)"));
  });
  return a.value;
}

void Chipset::write_pwrm(uint32_t address, unsigned width, uint64_t value) {
  const uint32_t offset = address - pmc_->pwrm_base();
  const auto a = pmc_->pwrm().write(offset, width, value);
  if (a.blocked) ++log_.blocked_writes;
  log_access(true, address, width, value, [&] {
    return std::string("PWRM+" + hex(offset, 4) +
                       (a.modelled ? " " + a.registers : " (unmodelled)") +
                       (a.blocked ? " (dropped)" : ""));
  });
}

}  // namespace peiboard
