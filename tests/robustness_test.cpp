// Whatever the guest does, a call ends in a report and the board stays usable: bad pointers
// handed to services, runaway nesting, code outside the image, sizes of gigabytes, writes
// where the module must not write, and the instruction budget to the instruction.
#include <fstream>
#include <sstream>

#include "board_fixture.h"
#include "bytes.h"
#include "format.h"
#include "report.h"

namespace peiboard::testing {
namespace {

class RobustnessTest : public BoardTest {
 protected:
  // The services table slot `index` (after the 24-byte header).
  uint32_t service(unsigned index) {
    return mem().read32(board().foundation().services_table() + 24 + 4 * index);
  }
  // Expects the call to end in a fault of `kind`, and the board to answer the next call.
  Fault expect_fault(const CallResult& r, FaultKind kind) {
    EXPECT_EQ(r.stop.kind, StopKind::kFault) << r.stop.fault.kind;
    EXPECT_EQ(r.stop.fault.kind, kind);
    EXPECT_EQ(board().call("GetPciCfgBase", {0, 31, 0}).eax, 0x800F8000u)
        << "the board must take the next call";
    return r.stop.fault;
  }
  uint32_t bytes(std::vector<uint8_t> b) { return board().scratch_bytes(b, 4); }
};

TEST_F(RobustnessTest, ServiceHandedABadPointerFaultsWithTheCaller) {
  // LocatePpi(Services, Guid, Instance, Descriptor, Ppi) with a GUID pointer into page 0.
  const uint32_t out = board().scratch(4);
  const Fault f = expect_fault(
      board().call_address(service(2), {board().foundation().services_pointer(), 0x10, 0, 0, out}),
      FaultKind::kBadBuffer);
  EXPECT_EQ(f.address, 0x10u);
  // Its output pointer into the read-only setup record is refused the same way.
  const uint32_t guid = board().scratch_bytes(guids::kPcd, 4);
  const Fault w = expect_fault(
      board().call_address(service(2),
                           {board().foundation().services_pointer(), guid, 0, 0, ram::kSetup}),
      FaultKind::kWriteProtected);
  EXPECT_EQ(w.region, "setup record (PchSetup)");
}

TEST_F(RobustnessTest, SizesOfGigabytesAreCheckedBeforeTheHostActs) {
  // SetMem(Buffer, Size, Value) of 0xFFFFFFF0 bytes from a scratch buffer.
  const uint32_t buffer = board().scratch(16);
  const Fault f = expect_fault(board().call_address(service(15), {buffer, 0xFFFFFFF0u, 0}),
                               FaultKind::kBadBuffer);
  EXPECT_EQ(f.address, ram::kScratch + ram::kScratchSize) << "the first byte that is not memory";
  EXPECT_EQ(mem().read32(buffer), 0u) << "nothing was written";

  // The SPI PPI's soft-strap read of 1 GiB.
  const auto spi = board().foundation().locate(guids::kSpi);
  ASSERT_TRUE(spi);
  const uint32_t read_strap = mem().read32(spi->second + 36);
  expect_fault(board().call_address(read_strap, {spi->second, 0x1F4, 1u << 30, buffer}),
               FaultKind::kBadBuffer);

  // A format width of a billion renders as far as the print's bound and is marked.
  const uint32_t format = board().scratch_string("%01000000000d|");
  call("DebugPrint", {0x40, format, 7});
  ASSERT_EQ(prints().size(), 1u);
  EXPECT_LE(prints()[0].size(), PlatformPpis::kMaxPrint + 32);
  EXPECT_TRUE(prints()[0].ends_with("...(truncated)")) << prints()[0].substr(0, 40);
}

TEST_F(RobustnessTest, ALoopOverTheWholeAddressSpaceEndsAsAHangAtTheBudget) {
  // ZeroMem is the module's own loop: past RAM its stores are bus aborts, so only the budget
  // ends it, having run no more instructions than the budget and within one block of it.
  const uint64_t budget = BoardOptions{}.budget;
  const uint32_t buffer = board().scratch(16);
  const CallResult r = board().call("ZeroMem", {buffer, 0xFFFFFFF0u});
  EXPECT_EQ(r.stop.kind, StopKind::kHang);
  EXPECT_EQ(board().routine_at(r.stop.fault.blame).substr(0, 7), "ZeroMem");
  EXPECT_GT(board().log().bus_aborts, 0u);
  EXPECT_LE(board().machine().instructions(), budget);
  EXPECT_GT(board().machine().instructions(), budget - 16) << "the loop's block is short";
}

TEST_F(RobustnessTest, CodeOutsideTheImageIsAFaultBeforeItRuns) {
  const uint32_t canary = board().scratch(4);
  mem().write32(canary, 0xC0FFEE);
  // Code that would overwrite the canary if any of it ran: mov dword [canary], 0.
  std::vector<uint8_t> code = {0xC7, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0xC3};
  for (int i = 0; i < 4; ++i) code[2 + i] = static_cast<uint8_t>(canary >> (8 * i));
  const uint32_t in_ram = board().scratch_bytes(code, 16);
  for (uint32_t target : {in_ram, ram::kSetup, ram::kStack, 0x90000000u}) {
    SCOPED_TRACE(target);
    const Fault f = expect_fault(board().call_address(target, {}), FaultKind::kExecuteOutside);
    EXPECT_EQ(f.address, target);
    EXPECT_EQ(mem().read32(canary), 0xC0FFEEu);
  }
}

// A jump into the image's data or constants is no jump outside the image: the fault says
// the image's code was left and names the section.
TEST_F(RobustnessTest, CodeFetchedFromTheImagesDataNamesTheSection) {
  const PeImage& image = module_image();
  for (const char* name : {".data", ".rdata"}) {
    SCOPED_TRACE(name);
    const auto section = std::find_if(image.sections().begin(), image.sections().end(),
                                      [&](const PeSection& s) { return s.name == name; });
    ASSERT_NE(section, image.sections().end());
    // The last bytes of the section: the first ones may share a page with code.
    const uint32_t target =
        image.image_base() + section->virtual_address + section->virtual_size - 4;
    const Fault f = expect_fault(board().call_address(target, {}), FaultKind::kExecuteNonCode);
    EXPECT_EQ(f.address, target);
    EXPECT_EQ(f.region, std::string("module section ") + name);
    EXPECT_STREQ(fault_kind_text(f.kind), "execute outside the image's code");
  }
}

// The fault's disassembly decodes from the routine before the address, never from further
// back than the section (or headers) holding it: a map's stray symbol far below the image
// does not make the host read gigabytes.
TEST(FaultDisassemblyTest, AStraySymbolBelowTheImageDoesNotWidenTheWindow) {
  PeImage image = module_image();
  LinkMap map;
  map.preferred_base = image.image_base();
  map.symbols = image.symbols();
  map.symbols.insert(map.symbols.begin(), Symbol{"Stray", 0x00001000, 0});
  image.attach_map(map);
  auto board = Board::create(default_scenario(), image);
  ASSERT_TRUE(board) << board.error().message;
  const uint32_t in_headers = image.image_base() + 0x40;
  const auto decoded = (*board)->instructions_to(in_headers, 4);
  ASSERT_FALSE(decoded.empty());
  EXPECT_EQ(decoded.back().address, in_headers);
  EXPECT_GE(decoded.front().address, image.image_base());
  // Inside a routine, the routine's own instructions lead to it, as before.
  const uint32_t entry = image.entry_point();
  const auto memory = image.memory_layout();
  const auto first =
      Disassembler::create()->disassemble(entry, std::span(memory).subspan(image.entry_rva()), 3);
  ASSERT_EQ(first.size(), 3u);
  const auto in_code = (*board)->instructions_to(first[2].address, 4);
  ASSERT_EQ(in_code.size(), 3u);
  EXPECT_EQ(in_code.front().address, entry);
}

// The board writes the PTSS table descriptors where the map puts them: only inside the
// module's data, never its code nor outside every section, and the refusal names the map row.
TEST(PtssPlacementTest, DescriptorsOutsideTheModulesDataAreRefusedWithTheMapRow) {
  const std::string map_text = [] {
    std::ifstream in(PEIBOARD_MAP);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }();
  const size_t row = map_text.find("_PtssTableA ");
  ASSERT_NE(row, std::string::npos);
  const auto line = 1 + std::count(map_text.begin(), map_text.begin() + row, '\n');
  const size_t address = map_text.find("00000000fff", row);
  ASSERT_NE(address, std::string::npos);
  const PeImage& built = module_image();
  const struct {
    uint32_t at;
    std::string message;
  } cases[] = {
      {built.entry_point(), "inside the code section .text, not in the module's data"},
      {built.image_base() + 0x10, "not inside one of the image's sections"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    std::string edited = map_text;
    edited.replace(address, 16, "00000000" + hex(c.at, 8).substr(2));
    auto image = PeImage::parse(built.file_bytes(), edited);
    ASSERT_TRUE(image) << image.error().message;
    const auto board = Board::create(default_scenario(), *image);
    ASSERT_FALSE(board);
    EXPECT_EQ(board.error().message, "link map:" + std::to_string(line) +
                                         ": the link map puts PtssTableA at " + hex(c.at, 8) +
                                         ", " + c.message);
  }
}

TEST_F(RobustnessTest, WritesWhereTheModuleMustNotWriteNameTheRegion) {
  make_board();
  const uint32_t source = bytes({1, 2, 3, 4});
  const struct {
    uint32_t at;
    std::string region;
  } cases[] = {
      {board().symbol("PtssTableA"), "module section .rdata"},
      {board().symbol("CompareGuid"), "module section .text"},
      {board().image().image_base(), "module headers"},
      {ram::kSetup + records::kPcieTopology, "setup record (PchSetup)"},
      {board().ppis().system_board_interface() + 60, "System Board PPI interface"},
      {board().ppis().system_board_descriptor(), "System Board PPI descriptor"},
      {board().foundation().hob_list() + 8, "HOB list"},
      {board().foundation().services_table(), "PEI services table"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.region);
    const auto before = mem().read32(c.at);
    const Fault f =
        expect_fault(board().call("CopyMem", {c.at, source, 4}), FaultKind::kWriteProtected);
    EXPECT_EQ(f.address, c.at);
    EXPECT_EQ(f.region, c.region);
    EXPECT_EQ(mem().read32(c.at), before) << "nothing was written";
  }
  // The data section shares a page with constants and stays writable.
  const uint32_t cache = board().symbol("CachedPchStepping");
  EXPECT_TRUE(board().call("CopyMem", {cache, source, 4}).returned());
  EXPECT_EQ(mem().read32(cache), 0x04030201u);
  // The byte before it is constants again.
  EXPECT_EQ(
      expect_fault(board().call("CopyMem", {cache - 1, source, 1}), FaultKind::kWriteProtected)
          .region,
      "module section .rdata");
}

TEST_F(RobustnessTest, BudgetIsEnforcedToTheInstruction) {
  // A routine's exact cost, then the same call with that budget and one less.
  const uint64_t before = board().machine().instructions();
  ASSERT_TRUE(board().call("GetPciCfgBase", {0, 31, 2}).returned());
  const uint64_t cost = board().machine().instructions() - before;
  ASSERT_GT(cost, 5u);
  make_board({.budget = cost});
  EXPECT_EQ(board().call("GetPciCfgBase", {0, 31, 2}).stop.kind, StopKind::kReturned);
  make_board({.budget = cost - 1});
  const CallResult hang = board().call("GetPciCfgBase", {0, 31, 2});
  EXPECT_EQ(hang.stop.kind, StopKind::kHang);
  EXPECT_EQ(hang.stop.fault.kind, FaultKind::kBudgetExhausted);
  EXPECT_LT(board().machine().instructions(), cost) << "the last block did not run";
}

TEST_F(RobustnessTest, NestedCallsStopAtTheLimit) {
  // A trap whose handler calls its own address: every level nests one deeper.
  Machine& m = board().machine();
  int deepest = 0;
  uint32_t self = 0;
  self = m.add_trap("recursing test trap", [&](TrapFrame&) {
    deepest = std::max(deepest, m.depth());
    m.call(self, {}, 1000);
  });
  const Fault f = expect_fault(board().call_address(self, {}), FaultKind::kNestedTooDeep);
  EXPECT_EQ(deepest, Machine::kMaxDepth);
  EXPECT_NE(f.detail.find("16 calls deep"), std::string::npos) << f.detail;
}

TEST_F(RobustnessTest, RegistersSurviveANestedCall) {
  // A debug-services PPI of our own whose print routine calls back into the module.
  scenario.debug.ppi_present = false;
  make_board();
  Machine& m = board().machine();
  uint32_t nested = 0;
  const uint32_t print = m.add_trap("nesting print", [&](TrapFrame& f) {
    const CallResult r = board().call("GetPchSeries");
    nested = r.eax;
    f.set_result(0);
  });
  const uint32_t assert_trap = m.add_trap("assert", [](TrapFrame&) {});
  const std::vector<uint32_t> slots{print, assert_trap};
  const uint32_t interface = board().scratch_bytes(le_words(slots), 4);
  const uint32_t guid = board().scratch_bytes(guids::kDebugServices, 4);
  const std::vector<uint32_t> descriptor{efi::kPpiFlagPpi | efi::kPpiFlagTerminate, guid,
                                         interface};
  ASSERT_EQ(board().foundation().install(board().scratch_bytes(le_words(descriptor), 4)), 0u);

  // DebugPrint keeps values in callee-saved registers across the PPI call.
  const uint32_t format = board().scratch_string("x");
  const CallResult r = board().call("DebugPrint", {0x40, format});
  EXPECT_TRUE(r.returned()) << r.stop.fault.kind;
  EXPECT_EQ(m.esp(), ram::kStackTop - 4 * 2) << "the outer frame was unwound exactly";
  EXPECT_EQ(nested, call("GetPchSeries")) << "the nested call ran and returned its value";
}

TEST_F(RobustnessTest, FaultsInsideANotifyCallbackEndTheBootCleanly) {
  // The notify callback runs inside InstallPpi; a budget too small for it stops the boot there.
  make_board({.budget = 50});
  const RunResult r = board().boot();
  ASSERT_TRUE(r.fault);
  EXPECT_EQ(r.fault->stop, StopKind::kHang);
  EXPECT_EQ(r.fault->text(), "hang: instruction budget exhausted");
  EXPECT_FALSE(r.fault->routine.empty());
}

TEST(ImagePlacementTest, AnImageLinkedOutsideFlashIsMovedThereThroughItsRelocations) {
  PeImage elsewhere = module_image();
  ASSERT_TRUE(elsewhere.rebase(0x20000000));  // as if linked for RAM
  ASSERT_FALSE(Board::create(default_scenario(), elsewhere)) << "the board maps flash only";
  ASSERT_TRUE(place_in_flash(elsewhere));
  EXPECT_EQ(elsewhere.image_base(), ram::kDefaultImageBase);
  // Moved back, it is the image as built, and boots as the built one does.
  EXPECT_EQ(elsewhere.memory_layout(), module_image().memory_layout());
  auto board = Board::create(default_scenario(), elsewhere);
  ASSERT_TRUE(board);
  EXPECT_FALSE((*board)->boot().fault);

  // In the flash window already: left where it is.
  PeImage high = module_image();
  ASSERT_TRUE(high.rebase(0xFF800000));
  ASSERT_TRUE(place_in_flash(high));
  EXPECT_EQ(high.image_base(), 0xFF800000u);
}

TEST_F(RobustnessTest, JsonIsValidWhateverBytesTheModuleAndNamesCarry) {
  scenario.name = std::string("board \xFF\xC3(");
  make_board();
  const uint32_t format = board().scratch_string("caf\xC3\xA9 \xC0\xAF \xED\xA0\x80 ok\n");
  call("DebugPrint", {0x40, format});
  const RunResult result;
  const std::string text = run_json(board(), result, false).dump();
  EXPECT_NE(text.find(R"("board \\xFF\\xC3(")"), std::string::npos) << text;
  // Well-formed UTF-8 stays as it is; an overlong form and a surrogate are escaped bytewise.
  EXPECT_NE(text.find("caf\xC3\xA9 \\\\xC0\\\\xAF \\\\xED\\\\xA0\\\\x80 ok"), std::string::npos)
      << text;
  EXPECT_NO_THROW(auto parsed = nlohmann::json::parse(text));
}

TEST_F(RobustnessTest, LogsStopGrowingAtTheirCap) {
  const uint32_t format = board().scratch_string("line\n");
  for (size_t i = 0; i < RunLog::kMaxEvents + 10; ++i) board().log().print(0x40, "line\n", 0);
  call("DebugPrint", {0x40, format});
  const auto& events = board().log().events;
  ASSERT_EQ(events.size(), RunLog::kMaxEvents);
  EXPECT_EQ(events.back().kind, Event::Kind::kTruncated);
  EXPECT_EQ(board().log().events_dropped, 12u);
}

}  // namespace
}  // namespace peiboard::testing
