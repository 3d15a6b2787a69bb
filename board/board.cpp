#include "board.h"

#include <algorithm>
#include <stdexcept>

#include "bytes.h"
#include "disassembler.h"
#include "format.h"
#include "scenario_loader.h"

namespace peiboard {
namespace {

constexpr uint32_t kPageSize = 0x1000;
constexpr uint32_t kPlatformInfoSize = hob::kPlatformInfoData;
constexpr uint32_t kBoardIdOffset = 37;
constexpr uint32_t kMeFwHobSize = hob::kMeFwData;
constexpr uint32_t kMeFwFunNumberOffset = 4;  // HOB byte 28
constexpr uint32_t kMeFwMefs1Offset = 8;      // HOB byte 32
constexpr uint32_t kPtssEntrySize = 20;
constexpr uint32_t kPtssDescriptorSize = 8;  // entries pointer, entry count
constexpr const char* kPtssTables[] = {"PtssTableA", "PtssTableB", "PtssTableC", "PtssTableD",
                                       "PtssTableE"};

uint64_t page_up(uint64_t value) { return (value + kPageSize - 1) & ~uint64_t{kPageSize - 1}; }

const char* stop_name(StopKind kind) {
  switch (kind) {
    case StopKind::kReturned:
      return "returned";
    case StopKind::kFault:
      return "fault";
    case StopKind::kHang:
      return "hang";
    case StopKind::kHalted:
      return "halt";
  }
  return "fault";
}

}  // namespace

std::string RunFault::text() const {
  // A halt's reason is its whole description ("halt: assertion (halt_on_assert)").
  if (kind == FaultKind::kHalted) return std::string(stop_name(stop)) + ": " + detail;
  return std::string(stop_name(stop)) + ": " + fault_kind_text(kind);
}

// Everything the chipset decodes, over every address no RAM claims: one mapping per hole,
// each forwarding to whatever chipset the board has now, so a reset maps nothing anew.
class Board::Bus {
 public:
  explicit Bus(Board& board) : board_(board) {}
  void map(Machine& machine, const std::vector<std::pair<uint64_t, uint64_t>>& taken) {
    std::vector<std::pair<uint64_t, uint64_t>> regions = taken;
    std::sort(regions.begin(), regions.end());
    uint64_t cursor = 0;
    auto hole = [&](uint64_t base, uint64_t end) {
      if (end <= base) return;
      windows_.push_back(std::make_unique<Window>(board_, static_cast<uint32_t>(base)));
      machine.map_device(static_cast<uint32_t>(base), end - base, *windows_.back());
    };
    for (const auto& [base, size] : regions) {
      hole(cursor, base);
      cursor = std::max(cursor, base + size);
    }
    hole(cursor, 0x100000000ull);
  }

 private:
  class Window final : public MmioDevice {
   public:
    Window(Board& board, uint32_t base) : board_(board), base_(base) {}
    uint64_t read(uint32_t offset, unsigned width) override {
      return board_.chipset_->read(base_ + offset, width);
    }
    void write(uint32_t offset, unsigned width, uint64_t value) override {
      board_.chipset_->write(base_ + offset, width, value);
    }

   private:
    Board& board_;
    uint32_t base_;
  };
  Board& board_;
  std::vector<std::unique_ptr<Window>> windows_;
};

struct Board::Arenas {
  GuestArena tables, hobs, pool;
  std::optional<GuestArena> scratch;
  void reset() {
    tables.reset();
    hobs.reset();
    pool.reset();
    if (scratch) scratch->reset();
  }
};

std::vector<uint8_t> ptss_entry_bytes(const PtssEntryConfig& e) {
  std::vector<uint8_t> entry(kPtssEntrySize, 0);
  entry[0] = e.register_port;
  entry[1] = e.lane;
  entry[2] = e.lane_mode;
  put16(entry, 4, e.register_offset);
  put32(entry, 8, e.register_value);
  put32(entry, 12, e.keep_mask);
  put16(entry, 16, e.topology);
  put16(entry, 18, e.board_id);
  return entry;
}

InstructionCounter block_counter(std::shared_ptr<const Disassembler> decoder) {
  return [decoder](uint32_t address, std::span<const uint8_t> bytes) -> BlockCount {
    if (auto shape = decoder->block_shape(address, bytes)) {
      const auto flow = decoder->flow_kind(shape->last, bytes.subspan(shape->last - address));
      const BlockExit exit = flow == FlowKind::kCall     ? BlockExit::kCall
                             : flow == FlowKind::kReturn ? BlockExit::kReturn
                                                         : BlockExit::kOther;
      return {shape->instructions, exit};
    }
    // The engine ends a block at an instruction it cannot decode, which then faults: it counts
    // as the block's last.
    return {static_cast<uint32_t>(decoder->disassemble(address, bytes, bytes.size()).size()) + 1};
  };
}

Expected<void> place_in_flash(PeImage& image) {
  const auto fits = [](uint64_t base, uint64_t size) {
    return base >= ram::kFlashBase && base + size <= 0x100000000ull;
  };
  if (fits(image.image_base(), image.size_of_image())) return {};
  const uint32_t target = fits(ram::kDefaultImageBase, image.size_of_image())
                              ? ram::kDefaultImageBase
                              : ram::kFlashBase;
  if (!fits(target, image.size_of_image())) {
    return Error{"the image (" + std::to_string(image.size_of_image()) +
                 " bytes) is larger than the board's flash window"};
  }
  if (auto moved = image.rebase(target); !moved) {
    return Error{"the image at " + hex(image.image_base(), 8) +
                 " lies outside the board's flash window and cannot be moved there: " +
                 moved.error().message};
  }
  return {};
}

Board::Board(const Scenario& scenario, std::shared_ptr<const Module> module, BoardOptions options)
    : scenario_(scenario), module_(std::move(module)), options_(options) {
  log_.name_of = [this](uint32_t at) { return routine_at(at); };
}

Board::~Board() = default;

Expected<std::unique_ptr<Board>, BoardError> Board::create(const Scenario& scenario,
                                                           const PeImage& image,
                                                           BoardOptions options) {
  return create(scenario, Module::create(image), options);
}

Expected<std::unique_ptr<Board>, BoardError> Board::create(const Scenario& scenario,
                                                           std::shared_ptr<const Module> module,
                                                           BoardOptions options) {
  if (auto layout = check_layout(scenario); !layout) return BoardError(layout.error());
  if (options.faults.pool_size > ram::kPoolMax) {
    return BoardError(Error{"a pool of " + std::to_string(options.faults.pool_size) +
                            " bytes does not fit the board's " + std::to_string(ram::kPoolMax)});
  }
  std::unique_ptr<Board> board(new Board(scenario, std::move(module), options));
  if (auto checked = board->check_image(); !checked) return BoardError(checked.error());
  board->map_memory();
  if (auto populated = board->populate(); !populated) return BoardError(populated.error());
  return board;
}

Expected<void, BoardError> Board::reset(const Scenario& scenario) {
  if (auto layout = check_layout(scenario); !layout) return BoardError(layout.error());
  scenario_ = scenario;
  // The old devices and PPIs refer to the old scenario: they go before anything runs.
  ppis_.reset();
  foundation_.reset();
  chipset_.reset();
  log_.clear();
  abnormal_stop_.reset();
  // Until populate() has finished the board holds no scenario, whatever stops it.
  failed_reset_ = "interrupted";
  machine_->reset();
  arenas_->reset();
  auto populated = populate();
  if (!populated) {
    failed_reset_ = populated.error().message;
    return BoardError(populated.error());
  }
  failed_reset_.reset();
  return {};
}

Expected<void> Board::check_image() const {
  const uint64_t end = uint64_t{image().image_base()} + image().size_of_image();
  if (image().image_base() < ram::kFlashBase || end > 0x100000000ull) {
    return Error{"the image at " + hex(image().image_base(), 8) +
                 " does not lie in the flash window " + hex(ram::kFlashBase, 8) + " to 0xFFFFFFFF"};
  }
  // The board rewrites the PTSS table descriptors: each must lie inside one data section
  // (the module's constants or writable data), never in its code or headers.
  for (const char* table : kPtssTables) {
    const auto at = image().address_of(table);
    if (!at) continue;  // populate() says so when a scenario needs it
    const auto section =
        std::find_if(image().sections().begin(), image().sections().end(), [&](const PeSection& s) {
          const uint64_t start = uint64_t{image().image_base()} + s.virtual_address;
          return *at >= start && uint64_t{*at} + kPtssDescriptorSize <= start + s.virtual_size;
        });
    const std::string puts =
        image().where_named(table) + ": the link map puts " + table + " at " + hex(*at, 8);
    if (section == image().sections().end()) {
      return Error{puts + ", not inside one of the image's sections"};
    }
    if (section->characteristics & (scn::kCode | scn::kExecute)) {
      return Error{puts + ", inside the code section " + section->name +
                   ", not in the module's data"};
    }
  }
  return {};
}

void Board::map_memory() {
  MachineOptions machine_options;
  machine_options.precise = options_.precise;
  auto disassembler = Disassembler::create();
  if (!disassembler) throw std::runtime_error(disassembler.error().message);
  decoder_ = std::make_shared<Disassembler>(std::move(disassembler).value());
  machine_ = std::make_unique<Machine>(block_counter(decoder_), machine_options);
  Machine& m = *machine_;
  m.map_ram(ram::kIdtPage, ram::kIdtPageSize, kRead, "IDT");
  m.map_ram(ram::kStack, ram::kStackSize, kRead | kWrite, "stack");
  m.map_ram(ram::kArena, ram::kArenaSize, kRead, "PEI foundation");
  m.map_ram(ram::kHobs, ram::kHobsSize, kRead, "HOB list");
  const uint32_t pool_pages =
      static_cast<uint32_t>(std::max<uint64_t>(kPageSize, page_up(options_.faults.pool_size)));
  m.map_ram(ram::kPool, pool_pages, kRead | kWrite, "pool");
  m.map_ram(ram::kSetup, ram::kSetupSize, kRead, "setup record (PchSetup)");
  m.map_ram(ram::kPolicy, ram::kPolicySize, kRead | kWrite, "policy record (PchPolicy)");
  // The services pointer and the IDT, the foundation's tables and the PPIs, whose slots lead
  // into the host: a debugger changes what the module works on, not the host's answers.
  m.reserve_for_host(ram::kIdtPage, ram::kIdtPageSize);
  m.reserve_for_host(ram::kArena, ram::kArenaSize);
  std::vector<std::pair<uint64_t, uint64_t>> taken = {
      {0, kPageSize},  // page 0: a null pointer faults
      {ram::kIdtPage, ram::kIdtPageSize},
      {ram::kStackGuard, ram::kStack - ram::kStackGuard},  // an overflow faults
      {ram::kStack, ram::kStackSize},
      {ram::kArena, ram::kArenaSize},
      {ram::kHobs, ram::kHobsSize},
      {ram::kPool, pool_pages},
      {ram::kSetup, ram::kSetupSize},
      {ram::kPolicy, ram::kPolicySize},
      {Machine::kTrapBase, Machine::kTrapPageSize}};
  if (options_.scratch) {
    m.map_ram(ram::kScratch, ram::kScratchSize, kRead | kWrite, "test scratch");
    taken.emplace_back(ram::kScratch, ram::kScratchSize);
  }

  // The image: each page as its sections allow. Code pages execute, the rest is read-only;
  // a writable section keeps a window the guest may store into.
  const uint32_t image_base = image().image_base() & ~(kPageSize - 1);
  const uint32_t image_size = static_cast<uint32_t>(
      page_up(uint64_t{image().image_base()} + image().size_of_image()) - image_base);
  m.map_ram(image_base, image_size, kRead, "module image", Machine::OnReset::kKeep);
  m.set_image(image().image_base(), image().size_of_image());
  taken.emplace_back(image_base, image_size);
  image_layout_ = image().memory_layout();
  m.write(image().image_base(), image_layout_);
  m.label(image().image_base(), image().size_of_headers(), "module headers", true);
  for (const auto& s : image().sections()) {
    const uint32_t start = image().image_base() + s.virtual_address;
    const uint32_t size = std::max(s.virtual_size, s.raw_size);
    m.label(start, size, "module section " + s.name, true);
    if (s.characteristics & (scn::kCode | scn::kExecute)) {
      const uint32_t first = start & ~(kPageSize - 1);
      m.protect(first, static_cast<uint32_t>(page_up(uint64_t{start} + size) - first),
                kRead | kExecute);
    }
    if (s.characteristics & scn::kWrite) m.allow_writes(start, size);
  }

  bus_ = std::make_unique<Bus>(*this);
  bus_->map(m, taken);
  arenas_ = std::make_unique<Arenas>(
      Arenas{GuestArena(m, ram::kArena, ram::kArenaSize), GuestArena(m, ram::kHobs, ram::kHobsSize),
             GuestArena(m, ram::kPool, options_.faults.pool_size), std::nullopt});
  if (options_.scratch) arenas_->scratch.emplace(m, ram::kScratch, ram::kScratchSize);
}

Expected<void> Board::populate() {
  Machine& m = *machine_;
  m.set_idt(ram::kIdtBase, ram::kIdtLimit);
  m.set_stack_top(ram::kStackTop);

  // What a run may have changed in the image: its writable sections and the PTSS table
  // descriptors. Writing the image's own bytes back makes it the freshly loaded one.
  auto restore = [&](uint32_t address, uint32_t size) {
    const uint32_t offset = address - image().image_base();
    const std::span<const uint8_t> original(image_layout_.data() + offset, size);
    if (m.read(address, size) != std::vector<uint8_t>(original.begin(), original.end())) {
      m.write(address, original);
    }
  };
  for (const auto& s : image().sections()) {
    if (s.characteristics & scn::kWrite) {
      restore(image().image_base() + s.virtual_address, std::max(s.virtual_size, s.raw_size));
    }
  }
  for (const char* table : kPtssTables) {
    if (auto at = image().address_of(table)) restore(*at, kPtssDescriptorSize);
  }

  chipset_ = std::make_unique<Chipset>(scenario_, log_, [this] {
    // Without exact EIP the engine's instruction pointer lags behind the code it chains
    // together, by as much as earlier boots let it chain; the block that started last is
    // the one making the access.
    const uint32_t at = machine_->eip();
    const bool exact = machine_->precise() && at - Machine::kTrapBase >= Machine::kTrapPageSize;
    return exact ? at : machine_->last_block();
  });
  foundation_ = std::make_unique<PeiFoundation>(
      m, log_, FoundationMemory{arenas_->tables, arenas_->hobs, arenas_->pool},
      [this](uint32_t routine, std::vector<uint32_t> args) -> std::optional<uint32_t> {
        const CallResult r = call_address(routine, std::move(args));
        if (!r.returned()) return std::nullopt;
        return r.eax;
      },
      options_.faults);
  m.write32(ram::kIdtBase - 4, foundation_->services_pointer());

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
  for (const auto& hob : scenario_.guid_hobs) {
    foundation_->add_guid_hob(hob.name, hob.data, hob.type, hob.length);
  }
  foundation_->finish_hobs(scenario_.hob_list.end);
  foundation_->answer_with(scenario_.foundation);

  ppis_ = std::make_unique<PlatformPpis>(scenario_, m, log_, arenas_->tables, *foundation_);
  ppis_->install_platform();

  m.write(ram::kSetup + records::kSataTopology, scenario_.setup.sata_topology);
  m.write(ram::kSetup + records::kSSataTopology, scenario_.setup.ssata_topology);
  m.write(ram::kSetup + records::kPcieTopology, scenario_.setup.pcie_topology);
  write_policy(scenario_.policy);

  return write_ptss_tables();
}

// The scenario's PTSS entries in place of the image's tables: every table descriptor then
// leads to them.
Expected<void> Board::write_ptss_tables() {
  if (!scenario_.ptss.entries) return {};
  std::vector<uint8_t> bytes;
  for (const auto& e : *scenario_.ptss.entries) {
    const std::vector<uint8_t> entry = ptss_entry_bytes(e);
    bytes.insert(bytes.end(), entry.begin(), entry.end());
  }
  const uint32_t entries = bytes.empty() ? 0 : arenas_->tables.place(bytes, 4, "PTSS entries");
  for (const char* table : kPtssTables) {
    auto at = image().address_of(table);
    if (!at) {
      return Error{std::string("the scenario replaces the PTSS tables, and the image's names "
                               "(from a link map or debug file) hold no ") +
                   table};
    }
    std::vector<uint8_t> descriptor(kPtssDescriptorSize);
    put32(descriptor, 0, entries);
    put32(descriptor, 4, static_cast<uint32_t>(scenario_.ptss.entries->size()));
    machine_->write(*at, descriptor);
  }
  return {};
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
  auto at = image().address_of(name);
  if (!at) throw std::invalid_argument("the link map names no " + std::string(name));
  return *at;
}

std::string Board::routine_at(uint32_t address) const {
  if (auto name = image().symbol_at(address)) return *name;
  if (const std::string* trap = machine_->trap_name(address)) return *trap;
  return hex(address, 8);
}

std::string Board::where(uint32_t address) const {
  if (auto where = module_->where(address)) return *where;
  return routine_at(address);
}

std::optional<std::string> Board::source_line(uint32_t address) const {
  return module_->source_line(address);
}

std::vector<uint32_t> Board::stack_addresses(uint32_t at, std::span<const CallFrame> stack) const {
  const auto on_trap_page = [](uint32_t address) {
    return address - Machine::kTrapBase < Machine::kTrapPageSize;
  };
  std::vector<uint32_t> addresses{at};
  for (auto frame = stack.rbegin(); frame != stack.rend(); ++frame) {
    // At a call into a service or PPI, `at` is that call's return address already (a routine
    // that jumps to a PPI's slot returns from it to its own caller).
    if (frame == stack.rbegin() && frame->return_address == at) continue;
    if (frame->return_address == machine_->return_trap()) {
      // The host called this routine: from inside the service or PPI whose frame lies outside,
      // or, for the outermost call, from none.
      const auto outer = std::next(frame);
      if (outer == stack.rend() || !on_trap_page(outer->entry)) break;
      addresses.push_back(outer->entry);
      continue;
    }
    addresses.push_back(frame->return_address);
  }
  return addresses;
}

std::vector<StackFrame> Board::frames_at(uint32_t address, bool caller) const {
  // A return address may be the first byte after the routine (a call that never returns):
  // the call, whose routine and lines the frame shows, is the byte before.
  const uint32_t call = caller ? address - 1 : address;
  const std::vector<SourceLocation> chain = module_->inline_chain(call);
  if (chain.empty()) {
    StackFrame frame{.address = address, .routine = routine_at(address)};
    if (const Symbol* symbol = image().symbol_holding(address)) {
      frame.offset = address - symbol->address;
    }
    return {frame};
  }
  // One frame per level of inlining, innermost first; only the outermost has code of its own
  // and so an offset.
  std::vector<StackFrame> frames;
  for (size_t i = 0; i < chain.size(); ++i) {
    const SourceLocation& level = chain[i];
    StackFrame frame{.address = address,
                     .routine = level.routine,
                     .offset = level.inlined ? 0 : level.offset + (address - call),
                     .file = level.file,
                     .line = level.line};
    if (level.inlined && i + 1 < chain.size()) frame.inlined_in = chain[i + 1].routine;
    frames.push_back(std::move(frame));
  }
  return frames;
}

std::vector<StackFrame> Board::backtrace(std::span<const uint32_t> addresses) const {
  std::vector<StackFrame> frames;
  for (size_t i = 0; i < addresses.size(); ++i) {
    for (StackFrame& f : frames_at(addresses[i], i > 0)) frames.push_back(std::move(f));
  }
  return frames;
}

std::vector<uint32_t> Board::callers_of(uint32_t at) const {
  std::vector<uint32_t> addresses = stack_addresses(at, machine_->call_stack());
  addresses.erase(addresses.begin());
  return addresses;
}

std::vector<Instruction> Board::instructions_to(uint32_t address, size_t before) const {
  const uint64_t image_end = uint64_t{image().image_base()} + image().size_of_image();
  if (address < image().image_base() || address >= image_end) return {};
  // Decode from the routine's first byte: x86 code cannot be decoded backwards. The window
  // stays inside the section (or the headers) holding the address and reaches back at most
  // kDecodeWindow bytes, whatever symbol the map puts before it.
  uint64_t floor = image().image_base();
  for (const auto& s : image().sections()) {
    const uint64_t begin = uint64_t{image().image_base()} + s.virtual_address;
    if (address >= begin && address - begin < std::max(s.virtual_size, s.raw_size)) floor = begin;
  }
  constexpr uint32_t kDecodeWindow = 64 * 1024;
  floor = std::max<uint64_t>(floor, address >= kDecodeWindow ? address - kDecodeWindow : 0);
  uint32_t start = address;
  const Symbol* symbol = image().symbol_holding(address);
  if (symbol && symbol->address >= floor) start = symbol->address;
  constexpr uint32_t kLongestInstruction = 15;
  const uint64_t end = std::min<uint64_t>(uint64_t{address} + kLongestInstruction, image_end);
  const std::vector<uint8_t> bytes = machine_->read(start, static_cast<uint32_t>(end - start));
  const std::vector<Instruction> all = decoder_->disassemble(start, bytes, bytes.size());
  auto at = std::find_if(all.begin(), all.end(),
                         [&](const Instruction& i) { return i.address == address; });
  if (at == all.end()) {
    // Not on the routine's instruction stream (a stray jump): decode from the address itself.
    return decoder_->disassemble(address, std::span(bytes).subspan(address - start), 1);
  }
  const ptrdiff_t ahead = std::min<ptrdiff_t>(at - all.begin(), static_cast<ptrdiff_t>(before));
  return {at - ahead, at + 1};
}

std::string Board::instruction_at(uint32_t address) const {
  if (auto it = instruction_texts_.find(address); it != instruction_texts_.end()) return it->second;
  std::vector<uint8_t> bytes(15);
  for (uint32_t i = 0; i < bytes.size(); ++i) {
    try {
      bytes[i] = machine_->read8(address + i);
    } catch (const std::runtime_error&) {  // the end of the memory the code lies in
      bytes.resize(i);
    }
  }
  const auto decoded = decoder_->disassemble(address, bytes, 1);
  return instruction_texts_[address] =
             decoded.empty() ? "(bytes that are no instruction)" : decoded[0].text;
}

uint32_t Board::scratch(uint32_t size, uint32_t align) {
  auto at = arenas_->scratch ? arenas_->scratch->allocate(size, align) : std::nullopt;
  if (!at) throw std::runtime_error("scratch memory exhausted or not mapped");
  return *at;
}

uint32_t Board::scratch_bytes(std::span<const uint8_t> bytes, uint32_t align) {
  if (!arenas_->scratch) throw std::runtime_error("scratch memory not mapped");
  return arenas_->scratch->place(bytes, align);
}

uint32_t Board::scratch_string(const std::string& text) {
  if (!arenas_->scratch) throw std::runtime_error("scratch memory not mapped");
  return arenas_->scratch->place_string(text);
}

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

std::optional<RunFault> Board::fault_of(const StopInfo& stop) const {
  if (stop.kind == StopKind::kReturned) return std::nullopt;
  const Fault& f = stop.fault;
  RunFault fault{stop.kind, f.kind, f.address, f.eip, routine_at(f.blame), f.region, f.detail};
  std::vector<uint32_t> addresses = stack_addresses(f.eip, stop.call_stack);
  if ((f.kind == FaultKind::kExecuteOutside || f.kind == FaultKind::kExecuteNonCode) &&
      f.blame != f.eip && f.blame != 0) {
    // Nothing ran at the address: the block that went there is the innermost code that did.
    addresses.insert(addresses.begin() + 1, f.blame);
  }
  fault.backtrace = backtrace(addresses);
  fault.registers = stop.cpu;
  // The instruction the report names: without exact EIP the engine's register lags behind.
  fault.registers.eip = f.eip;
  return fault;
}

RunResult Board::boot_exact() {
  RunResult result = boot();
  if (!result.fault || result.fault->stop != StopKind::kFault || machine_->precise()) return result;
  if (auto again = reset(scenario_); !again) throw std::runtime_error(again.error().message);
  machine_->set_precise(true);
  result = boot();
  machine_->set_precise(false);
  return result;
}

bool Board::stopped(RunResult& result, const StopInfo& stop) const {
  result.fault = fault_of(stop);
  return result.fault.has_value();
}

// install: the stand-in board module publishes the System Board PPI and returns to the
// dispatcher; the notifies registered by then run inside it.
bool Board::install_system_board(RunResult& result) {
  log_.phase = Phase::kInstall;
  abnormal_stop_.reset();
  ppis_->install_system_board();
  foundation_->return_to_dispatcher();
  // A notify callback that did not return ends the run there.
  return abnormal_stop_ && stopped(result, *abnormal_stop_);
}

// The dispatcher runs the module only when its file's dependency expression holds over the
// PPIs installed by now; it calls the entry point with a file handle and its services, and
// once that returns, the notifies of what it installed run.
bool Board::dispatch(RunResult& result) {
  if (options_.depex) {
    const DepexVerdict verdict = evaluate_depex(*options_.depex, [this](const Guid& guid) {
      return foundation_->locate(guid).has_value();
    });
    if (!verdict.holds) {
      // Nothing of the module runs: the install and chipset steps would only show the board.
      result.not_dispatched = NotDispatched{*options_.depex, verdict.missing};
      return true;
    }
  }
  log_.phase = Phase::kDispatch;
  const uint32_t file_handle =
      arenas_->tables.place(std::vector<uint8_t>(24, 0), 8, "PEIM file handle");
  CallResult entry =
      call_address(image().entry_point(), {file_handle, foundation_->services_pointer()});
  if (stopped(result, entry.stop)) return true;
  result.entry_status = entry.eax;
  abnormal_stop_.reset();
  foundation_->return_to_dispatcher();
  return abnormal_stop_ && stopped(result, *abnormal_stop_);
}

// chipset: the stand-in chipset step calls slot 15 of the PPI it finds.
void Board::call_slot15(RunResult& result) {
  log_.phase = Phase::kChipset;
  auto located = foundation_->locate(guids::kSystemBoard);
  if (!located) return;
  // The interface may be the module's copy: read its slot as the chipset code would.
  const uint32_t slot_at = located->second + 4 * PlatformPpis::kPtssSlot;
  uint32_t slot15 = 0;
  try {
    slot15 = machine_->guest_read32(slot_at);
  } catch (const GuestFault& g) {
    // The module installed an interface the chipset code cannot read.
    Fault fault = g.fault;
    fault.eip = fault.blame = located->first;
    stopped(result, StopInfo{StopKind::kFault, fault, {}, machine_->cpu()});
    return;
  }
  result.slot15_called = true;
  stopped(result, call_address(slot15, {ram::kSetup, ram::kPolicy}).stop);
}

// What a boot leaves, however it ended: the notifies' statuses, the policy record and the
// PMC's ACPI registers.
void Board::finish(RunResult& result, uint64_t instructions_before) {
  log_.phase = Phase::kCall;
  result.notify_statuses = foundation_->notify_statuses();
  result.policy = read_policy();
  if (auto* pmc = chipset_->function(hw::kPmc)) {
    result.acpi_base = static_cast<uint16_t>(pmc->get(Pmc::kAcpiBase, 2));
    result.acpi_control = static_cast<uint8_t>(pmc->get(Pmc::kAcpiControl, 1));
  } else {
    result.acpi_base = 0xFFFF;
    result.acpi_control = 0xFF;
  }
  result.instructions = machine_->instructions() - instructions_before;
}

RunResult Board::boot() {
  RunResult result;
  if (failed_reset_) {
    // Nothing to run: the devices, the foundation and the PPIs are gone or half built.
    result.fault = RunFault{StopKind::kHalted,
                            FaultKind::kHalted,
                            0,
                            0,
                            {},
                            {},
                            "no scenario: the board's last reset failed (" + *failed_reset_ + ")"};
    return result;
  }
  result.policy_before = read_policy();
  const uint64_t instructions_before = machine_->instructions();
  abnormal_stop_.reset();
  const bool board_first = scenario_.foundation.system_board_ppi == SystemBoardOrder::kBeforeEntry;
  // The steps in order, each only while none before it ended the run.
  bool ended = board_first && install_system_board(result);
  ended = ended || dispatch(result);
  ended = ended || (!board_first && install_system_board(result));
  if (!ended) call_slot15(result);
  finish(result, instructions_before);
  return result;
}

}  // namespace peiboard
