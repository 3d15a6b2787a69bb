#include "board.h"

#include <stdexcept>

#include "bytes.h"
#include "format.h"

namespace peiboard {
namespace {

constexpr uint32_t kPageSize = 0x1000;
constexpr uint32_t kPlatformInfoSize = 64;  // bytes of data in the platform-information HOB
constexpr uint32_t kBoardIdOffset = 37;
constexpr uint32_t kMeFwHobSize = 40;
constexpr uint32_t kMeFwFunNumberOffset = 4;  // HOB byte 28
constexpr uint32_t kMeFwMefs1Offset = 8;      // HOB byte 32
constexpr uint32_t kPtssEntrySize = 20;
constexpr const char* kPtssTables[] = {"PtssTableA", "PtssTableB", "PtssTableC", "PtssTableD",
                                       "PtssTableE"};

}  // namespace

Board::Board(const Scenario& scenario, const PeImage& image, BoardOptions options)
    : scenario_(scenario), image_(image), options_(options) {}

Board::~Board() = default;

Expected<std::unique_ptr<Board>> Board::create(const Scenario& scenario, const PeImage& image,
                                               BoardOptions options) {
  std::unique_ptr<Board> board(new Board(scenario, image, options));
  auto built = board->build();
  if (!built) return built.error();
  return board;
}

Expected<bool> Board::build() {
  const uint32_t ecam = scenario_.pch.ecam_base;
  const uint64_t image_end =
      uint64_t{image_.image_base()} + ((image_.size_of_image() + kPageSize - 1) & ~(kPageSize - 1));
  if (ecam % hw::kEcamSize != 0 || ecam < 0x10000000u ||
      uint64_t{ecam} + hw::kEcamSize > hw::kPcrBase ||
      (ecam < image_end && image_.image_base() < uint64_t{ecam} + hw::kEcamSize)) {
    return Error{scenario_.source + ": pch.ecam_base " + hex(ecam, 8) +
                 " overlaps RAM, the PCR window or the image; use a 256 MiB boundary from "
                 "0x10000000 to 0xE0000000"};
  }
  if (image_.image_base() < hw::kPcrBase + hw::kPcrSize) {
    return Error{"the image must be linked above the PCR window (base " +
                 hex(image_.image_base(), 8) + ")"};
  }

  machine_ = std::make_unique<Machine>();
  machine_->map_ram(ram::kBase, ram::kSize);
  const uint32_t image_size = static_cast<uint32_t>(image_end - image_.image_base());
  machine_->map_ram(image_.image_base(), image_size);
  machine_->write(image_.image_base(), image_.memory_layout());
  machine_->count_instructions_in(image_.image_base(), static_cast<uint32_t>(image_end - 1) + 1);
  machine_->set_idt(ram::kIdtBase, ram::kIdtLimit);
  machine_->set_stack_top(ram::kStackTop);

  arena_ = std::make_unique<GuestArena>(*machine_, ram::kArena, ram::kArenaSize);
  scratch_ = std::make_unique<GuestArena>(*machine_, ram::kScratch, ram::kScratchSize);
  chipset_ = std::make_unique<Chipset>(scenario_, *machine_, log_,
                                       [this] { return routine_at(machine_->eip()); });
  chipset_->map({{ram::kBase, ram::kSize},
                 {Machine::kTrapBase, Machine::kTrapPageSize},
                 {image_.image_base(), image_size}});

  foundation_ = std::make_unique<PeiFoundation>(
      *machine_, log_, *arena_,
      [this](uint32_t routine, std::vector<uint32_t> args) -> std::optional<uint32_t> {
        const CallResult r = call_address(routine, std::move(args));
        if (!r.returned()) return std::nullopt;
        return r.eax;
      },
      [this](uint32_t return_address) { return routine_at(return_address); }, options_.faults,
      ram::kPool);
  machine_->write32(ram::kIdtBase - 4, foundation_->services_pointer());

  if (scenario_.platform_info.present) {
    std::vector<uint8_t> data(kPlatformInfoSize, 0);
    data[kBoardIdOffset] = scenario_.platform_info.board_id;
    foundation_->add_guid_hob(guids::kPlatformInfoHob, data);
  }
  if (scenario_.me_fw.present) {
    std::vector<uint8_t> data(kMeFwHobSize, 0);
    put32(data, kMeFwFunNumberOffset, scenario_.me_fw.fun_number);
    put32(data, kMeFwMefs1Offset, scenario_.me_fw.mefs1);
    foundation_->add_guid_hob(guids::kMeFwHob, data);
  }
  for (const auto& hob : scenario_.guid_hobs) foundation_->add_guid_hob(hob.name, hob.data);
  foundation_->finish_hobs();

  ppis_ = std::make_unique<PlatformPpis>(scenario_, *machine_, log_, *arena_, *foundation_,
                                         [this](uint32_t a) { return routine_at(a); });
  ppis_->install_platform();

  machine_->write(ram::kSetup + records::kSataTopology, scenario_.setup.sata_topology);
  machine_->write(ram::kSetup + records::kSSataTopology, scenario_.setup.ssata_topology);
  machine_->write(ram::kSetup + records::kPcieTopology, scenario_.setup.pcie_topology);
  write_policy(scenario_.policy);

  if (scenario_.ptss.entries) {
    std::vector<uint8_t> bytes;
    for (const auto& e : *scenario_.ptss.entries) {
      std::vector<uint8_t> entry(kPtssEntrySize, 0);
      entry[0] = e.register_port;
      entry[1] = e.lane;
      entry[2] = e.lane_mode;
      put16(entry, 4, e.register_offset);
      put32(entry, 8, e.register_value);
      put32(entry, 12, e.keep_mask);
      put16(entry, 16, e.topology);
      put16(entry, 18, e.board_id);
      bytes.insert(bytes.end(), entry.begin(), entry.end());
    }
    const uint32_t entries = bytes.empty() ? 0 : arena_->place(bytes, 4);
    for (const char* table : kPtssTables) {
      auto at = image_.address_of(table);
      if (!at) return Error{std::string("the image has no ") + table + " to replace"};
      machine_->write32(*at, entries);
      machine_->write32(*at + 4, static_cast<uint32_t>(scenario_.ptss.entries->size()));
    }
  }
  return true;
}

namespace {

// Visits every word of every lane record with its guest address.
template <class Policy, class Visit>
void for_each_policy_word(Policy& p, uint32_t base, Visit visit) {
  auto each = [&](auto& records, uint32_t offset, uint32_t stride) {
    for (uint32_t r = 0; r < records.size(); ++r) {
      for (uint32_t w = 0; w < records[r].size(); ++w) {
        visit(records[r][w], base + offset + stride * r + 4 * w);
      }
    }
  };
  each(p.sata, records::kSata, records::kSataStride);
  each(p.ssata, records::kSSata, records::kSataStride);
  each(p.pcie_rp, records::kPcieRp, records::kPcieStride);
  each(p.pcie_direct, records::kPcieDirect, records::kPcieStride);
}

}  // namespace

PolicyConfig Board::read_policy() const {
  PolicyConfig p;
  for_each_policy_word(p, ram::kPolicy,
                       [this](uint32_t& word, uint32_t at) { word = machine_->read32(at); });
  return p;
}

void Board::write_policy(const PolicyConfig& policy) {
  for_each_policy_word(policy, ram::kPolicy,
                       [this](uint32_t word, uint32_t at) { machine_->write32(at, word); });
}

uint32_t Board::symbol(std::string_view name) const {
  auto at = image_.address_of(name);
  if (!at) throw std::invalid_argument("the link map names no " + std::string(name));
  return *at;
}

std::string Board::routine_at(uint32_t address) const {
  if (auto name = image_.symbol_at(address)) return *name;
  if (const std::string* trap = machine_->trap_name(address)) return *trap;
  return hex(address, 8);
}

uint32_t Board::scratch(uint32_t size, uint32_t align) {
  auto at = scratch_->allocate(size, align);
  if (!at) throw std::runtime_error("scratch memory exhausted");
  return *at;
}

uint32_t Board::scratch_bytes(std::span<const uint8_t> bytes, uint32_t align) {
  return scratch_->place(bytes, align);
}

uint32_t Board::scratch_string(const std::string& text) { return scratch_->place_string(text); }

CallResult Board::call(std::string_view routine, std::vector<uint32_t> args) {
  return call_address(symbol(routine), std::move(args));
}

CallResult Board::call_address(uint32_t address, std::vector<uint32_t> args) {
  CallResult r;
  r.stop = machine_->call(address, args, options_.budget);
  r.eax = machine_->eax();
  r.edx = machine_->edx();
  if (!r.returned() && !abnormal_stop_) abnormal_stop_ = r.stop;
  return r;
}

RunResult Board::boot() {
  RunResult result;
  result.policy_before = read_policy();
  auto failed = [&](const CallResult& r) {
    if (r.returned()) return false;
    static const char* const kinds[] = {"returned", "fault", "hang", "halt"};
    result.fault =
        RunFault{std::string(kinds[static_cast<int>(r.stop.kind)]) + ": " + r.stop.fault.kind,
                 r.stop.fault.address, r.stop.fault.eip, routine_at(r.stop.fault.eip)};
    return true;
  };
  const uint32_t instructions_before = static_cast<uint32_t>(machine_->instructions());

  // 1. dispatch: the foundation calls the entry point with a file handle and its services.
  log_.phase = Phase::kDispatch;
  const uint32_t file_handle = arena_->place(std::vector<uint8_t>(24, 0));
  CallResult entry =
      call_address(image_.entry_point(), {file_handle, foundation_->services_pointer()});
  bool stopped = failed(entry);
  if (!stopped) result.entry_status = entry.eax;

  // 2. install: the stand-in board module publishes the System Board PPI.
  if (!stopped) {
    log_.phase = Phase::kInstall;
    abnormal_stop_.reset();
    ppis_->install_system_board();
    // A notify callback that did not return ends the run there.
    if (abnormal_stop_) {
      CallResult r;
      r.stop = *abnormal_stop_;
      stopped = failed(r);
    }
  }

  // 3. chipset: the stand-in chipset step calls slot 15 of the PPI it finds.
  if (!stopped) {
    log_.phase = Phase::kChipset;
    if (auto located = foundation_->locate(guids::kSystemBoard)) {
      const uint32_t slot15 = machine_->read32(located->second + 4 * PlatformPpis::kPtssSlot);
      result.slot15_called = true;
      stopped = failed(call_address(slot15, {ram::kSetup, ram::kPolicy}));
    }
  }
  log_.phase = Phase::kCall;

  result.notify_statuses = foundation_->notify_statuses;
  result.policy = read_policy();
  if (auto* pmc = chipset_->function(hw::kPmc)) {
    result.acpi_base = static_cast<uint16_t>(pmc->get(0x40, 2));
    result.acpi_control = static_cast<uint8_t>(pmc->get(0x44, 1));
  } else {
    result.acpi_base = 0xFFFF;
    result.acpi_control = 0xFF;
  }
  result.instructions = machine_->instructions() - instructions_before;
  return result;
}

}  // namespace peiboard
