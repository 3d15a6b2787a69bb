// The module's services layer, run in the real image: memory, GUIDs, HOBs, PCDs, register
// access, debug output and the services pointer below the IDT.
#include <array>
#include <numeric>

#include "board_fixture.h"
#include "bytes.h"
#include "platform.h"

namespace peiboard::testing {
namespace {

constexpr uint32_t kOutOfResources = 0x80000009;

class MemoryTest : public BoardTest {
 protected:
  // A buffer of `n` bytes 1, 2, 3, ... with a guard byte 0xEE after it.
  uint32_t counting(uint32_t n) {
    std::vector<uint8_t> bytes(n + 1);
    std::iota(bytes.begin(), bytes.end(), uint8_t{1});
    bytes[n] = 0xEE;
    return board().scratch_bytes(bytes, 4);
  }
};

TEST_F(MemoryTest, CopyMemMovesOverlappingRangesInBothDirections) {
  // Destination two bytes above the source: must copy backward.
  uint32_t buffer = counting(16);
  const auto original = mem().read(buffer, 10);
  EXPECT_EQ(call("CopyMem", {buffer + 2, buffer, 10}), buffer + 2);
  EXPECT_EQ(mem().read(buffer + 2, 10), original);

  // Destination on the source's last byte: the smallest overlap still needs the backward copy.
  buffer = counting(24);
  const auto first = mem().read(buffer, 10);
  call("CopyMem", {buffer + 9, buffer, 10});
  EXPECT_EQ(mem().read(buffer + 9, 10), first);

  // Destination two bytes below the source: forward copy is right.
  buffer = counting(16);
  const auto source = mem().read(buffer + 2, 10);
  call("CopyMem", {buffer, buffer + 2, 10});
  EXPECT_EQ(mem().read(buffer, 10), source);
  EXPECT_TRUE(asserts().empty());
}

TEST_F(MemoryTest, CopyAndZeroTouchExactlyTheirLength) {
  for (uint32_t length : {1u, 4u, 7u, 9u}) {
    const uint32_t from = counting(length), to = board().scratch(length + 1, 4);
    mem().write8(to + length, 0xEE);
    call("CopyMem", {to, from, length});
    EXPECT_EQ(mem().read(to, length), mem().read(from, length)) << length;
    EXPECT_EQ(mem().read8(to + length), 0xEE) << "CopyMem overran with length " << length;

    const uint32_t zeroed = counting(length);
    EXPECT_EQ(call("ZeroMem", {zeroed, length}), zeroed);
    EXPECT_EQ(mem().read(zeroed, length), std::vector<uint8_t>(length, 0)) << length;
    EXPECT_EQ(mem().read8(zeroed + length), 0xEE) << "ZeroMem overran with length " << length;
  }
}

TEST_F(MemoryTest, ZeroLengthReturnsAtOnceEvenForNull) {
  EXPECT_EQ(call("CopyMem", {0, 0, 0}), 0u);
  EXPECT_EQ(call("ZeroMem", {0, 0}), 0u);
  EXPECT_TRUE(asserts().empty());
}

TEST_F(MemoryTest, ZeroMemOfNullAsserts) {
  // The report comes first; the module then goes on and faults on page 0, as the hardware
  // would on a real null store: the emulator reports where.
  const CallResult r = board().call("ZeroMem", {0, 4});
  ASSERT_FALSE(asserts().empty());
  EXPECT_EQ(asserts()[0],
            "BasePkg/Library/BaseMemoryLibRepStr/ZeroMemWrapper:53:Buffer != ((void *) 0)");
  EXPECT_EQ(r.stop.kind, StopKind::kFault);
  EXPECT_EQ(board().routine_at(r.stop.fault.eip).substr(0, 7), "ZeroMem");
}

TEST_F(MemoryTest, RangesMayEndOnTheLastByteOfTheAddressSpace) {
  // Nothing decodes up there: the writes are dropped and reads give all ones, but the ranges
  // are legal and draw no assertion.
  constexpr uint32_t kLast16 = 0xFFFFFFF0;
  const uint32_t source = counting(16), target = board().scratch(16, 4);
  EXPECT_EQ(call("ZeroMem", {kLast16, 16}), kLast16);
  EXPECT_EQ(call("CopyMem", {kLast16, source, 16}), kLast16);
  EXPECT_EQ(call("CopyMem", {target, kLast16, 16}), target);
  EXPECT_TRUE(asserts().empty());
  EXPECT_EQ(mem().read(target, 16), std::vector<uint8_t>(16, 0xFF));

  // One byte more wraps to address 0: reported before the access, which then faults.
  board().call("ZeroMem", {kLast16, 17});
  board().call("CopyMem", {kLast16, source, 17});
  EXPECT_EQ(asserts(), (std::vector<std::string>{
                           "BasePkg/Library/BaseMemoryLibRepStr/ZeroMemWrapper:54:Length <= "
                           "(0xFFFFFFFF - (UINTN)Buffer + 1)",
                           "BasePkg/Library/BaseMemoryLibRepStr/CopyMemWrapper:56:(Length - 1) <= "
                           "(0xFFFFFFFF - (UINTN)DestinationBuffer)"}));
}

TEST_F(MemoryTest, CompareGuidAtOddAddressesAndByteFifteen) {
  const Guid g = guids::kSystemBoard;
  std::vector<uint8_t> bytes(40, 0);
  std::copy(g.begin(), g.end(), bytes.begin() + 1);
  std::copy(g.begin(), g.end(), bytes.begin() + 19);
  const uint32_t base = board().scratch_bytes(bytes, 4);
  EXPECT_EQ(call("CompareGuid", {base + 1, base + 19}) & 0xFF, 1u);
  mem().write8(base + 19 + 15, static_cast<uint8_t>(g[15] ^ 1));
  EXPECT_EQ(call("CompareGuid", {base + 1, base + 19}) & 0xFF, 0u);
  mem().write8(base + 19 + 15, g[15]);
  mem().write8(base + 19, static_cast<uint8_t>(g[0] ^ 0x80));
  EXPECT_EQ(call("CompareGuid", {base + 1, base + 19}) & 0xFF, 0u);
}

TEST_F(MemoryTest, AllocateCopyPoolCopiesAndRunsOut) {
  make_board({.faults = {.pool_size = 16}});
  const uint32_t source = counting(12);
  const uint32_t copy = call("AllocateCopyPool", {12, source});
  ASSERT_NE(copy, 0u);
  EXPECT_EQ(mem().read(copy, 12), mem().read(source, 12));
  EXPECT_EQ(call("AllocateCopyPool", {12, source}), 0u) << "the pool holds only 16 bytes";
  EXPECT_TRUE(asserts().empty());
}

TEST_F(MemoryTest, CopyOntoItselfTouchesNothing) {
  // The module's own constants are read-only to it: a copy that wrote even one byte back
  // would fault there.
  const uint32_t constant = board().symbol("gPlatformInfoHobGuid");
  const CallResult r = board().call("CopyMem", {constant, constant, 16});
  ASSERT_TRUE(r.returned()) << r.stop.fault.kind;
  EXPECT_EQ(r.eax, constant);
  EXPECT_TRUE(asserts().empty());
  // One byte apart, the same copy writes and faults: it is the equal addresses that spare it.
  EXPECT_EQ(board().call("CopyMem", {constant, constant + 1, 15}).stop.fault.kind,
            FaultKind::kWriteProtected);
}

TEST_F(MemoryTest, SourceRunningPastTheAddressSpaceIsReportedAlone) {
  // Sixteen bytes up to the last address are a legal source; seventeen wrap to address 0.
  constexpr uint32_t kLast16 = 0xFFFFFFF0;
  const uint32_t target = board().scratch(32, 4);
  EXPECT_EQ(call("CopyMem", {target, kLast16, 16}), target);
  EXPECT_TRUE(asserts().empty());
  const CallResult r = board().call("CopyMem", {target, kLast16, 17});
  EXPECT_EQ(asserts(), std::vector<std::string>{
                           "BasePkg/Library/BaseMemoryLibRepStr/CopyMemWrapper:57:(Length - 1) <= "
                           "(0xFFFFFFFF - (UINTN)SourceBuffer)"});
  // The copy then goes on as written and reads page 0.
  EXPECT_EQ(r.stop.fault.kind, FaultKind::kReadUnmapped);
  EXPECT_EQ(r.stop.fault.address, 0u);
}

TEST_F(MemoryTest, AllocateCopyPoolChecksItsSourceFirst) {
  // A null source is reported, and the allocation still made: of 0 bytes nothing is copied.
  const uint32_t empty = call("AllocateCopyPool", {0, 0});
  EXPECT_EQ(asserts(), std::vector<std::string>{
                           "BasePkg/Library/PeiMemoryAllocationLib/MemoryAllocationLib:623:Buffer "
                           "!= ((void *) 0)"});
  EXPECT_NE(empty, 0u);
  EXPECT_EQ(calls_to("AllocatePool"), 1u);

  // Sixteen bytes up to the last address may be copied; seventeen are reported before the
  // allocation, and the copy that follows reports and faults in its turn.
  clear_log();
  constexpr uint32_t kLast16 = 0xFFFFFFF0;
  EXPECT_NE(call("AllocateCopyPool", {16, kLast16}), 0u);
  EXPECT_TRUE(asserts().empty());
  const CallResult r = board().call("AllocateCopyPool", {17, kLast16});
  EXPECT_EQ(assert_lines(), (std::vector<uint32_t>{624, 57}));
  EXPECT_EQ(asserts().at(0),
            "BasePkg/Library/PeiMemoryAllocationLib/MemoryAllocationLib:624:AllocationSize <= "
            "(0xFFFFFFFF - (UINTN) Buffer + 1)");
  EXPECT_EQ(r.stop.fault.kind, FaultKind::kReadUnmapped);
  EXPECT_EQ(calls_to("AllocatePool"), 2u);
}

TEST_F(MemoryTest, CompilerBlockCopyAndFillTouchExactlyTheirLength) {
  // memcpy and memset serve the compiler's structure copies; no boot of this build calls them,
  // so they are checked here on their own.
  for (uint32_t length : {0u, 1u, 3u, 4u, 7u, 9u}) {
    const uint32_t from = counting(length);
    const uint32_t to = board().scratch(length + 1, 4);
    mem().write(to, std::vector<uint8_t>(length + 1, 0xEE));
    EXPECT_EQ(call("memcpy", {to, from, length}), to);
    EXPECT_EQ(mem().read(to, length), mem().read(from, length)) << length;
    EXPECT_EQ(mem().read8(to + length), 0xEE) << "memcpy overran with length " << length;

    EXPECT_EQ(call("memset", {to, 0x1A5, length}), to);
    EXPECT_EQ(mem().read(to, length), std::vector<uint8_t>(length, 0xA5)) << length;
    EXPECT_EQ(mem().read8(to + length), 0xEE) << "memset overran with length " << length;
  }
}

class HobTest : public BoardTest {
 protected:
  uint32_t guid_at(const Guid& g) { return board().scratch_bytes(g, 4); }
  // A HOB list of (type, length) headers laid end to end in scratch memory; a GUID HOB carries
  // the platform-information name.
  uint32_t hob_list(std::vector<std::pair<uint16_t, uint16_t>> hobs) {
    std::vector<uint8_t> bytes;
    for (auto [type, length] : hobs) {
      std::vector<uint8_t> hob(std::max<size_t>(length, 24), 0);
      put16(hob, 0, type);
      put16(hob, 2, length);
      if (type == 4) {
        std::copy(guids::kPlatformInfoHob.begin(), guids::kPlatformInfoHob.end(), hob.begin() + 8);
      }
      hob.resize(std::max<size_t>(length, 8));
      bytes.insert(bytes.end(), hob.begin(), hob.end());
    }
    return board().scratch_bytes(bytes, 8);
  }
  uint32_t next(uint16_t type, uint32_t start) { return call("GetNextHob", {type, start}); }
};

TEST_F(HobTest, WalkStopsAtTheFirstHobOfTheTypeAndAtTheEnd) {
  const uint32_t list = hob_list({{7, 16}, {2, 48}, {4, 32}, {0xFFFF, 8}, {4, 32}});
  EXPECT_EQ(next(4, list), list + 64) << "types 7 and 2 are passed over";
  EXPECT_EQ(next(7, list), list);
  EXPECT_EQ(next(4, list + 96), 0u) << "nothing past the end HOB is seen";
  EXPECT_EQ(next(3, list), 0u);
  EXPECT_TRUE(asserts().empty());
}

TEST_F(HobTest, ZeroLengthHobOfAnyTypeEndsTheWalk) {
  const uint32_t list = hob_list({{3, 0}, {4, 32}, {0xFFFF, 8}});
  EXPECT_EQ(next(4, list), 0u);
}

TEST_F(HobTest, FindsTheFirstOfTwoHobsWithOneName) {
  scenario.guid_hobs.push_back({guids::kPlatformInfoHob, std::vector<uint8_t>(64, 0x77)});
  const uint32_t hob = call("GetFirstGuidHob", {guid_at(guids::kPlatformInfoHob)});
  ASSERT_NE(hob, 0u);
  EXPECT_EQ(mem().read8(hob + 24 + 37), 14) << "the scenario's own HOB comes first";
  EXPECT_EQ(call("GetBoardId") & 0xFF, 14u);
}

TEST_F(HobTest, ListWithOnlyTheEndHobGivesNull) {
  scenario.platform_info.present = false;
  make_board();
  // Replace the whole list by a lone end HOB.
  const uint32_t list = board().foundation().hob_list();
  mem().write32(list, 0x0008FFFF);
  mem().write32(list + 4, 0);
  EXPECT_EQ(call("GetFirstGuidHob", {guid_at(guids::kPlatformInfoHob)}), 0u);
  EXPECT_TRUE(asserts().empty());
}

TEST_F(HobTest, ZeroLengthHobEndsTheWalk) {
  scenario.platform_info.present = false;
  make_board();
  // A GUID HOB of another name whose length field is zero: a naive walk spins forever.
  const uint32_t list = board().foundation().hob_list();
  mem().write32(list, 0x00000004);
  EXPECT_EQ(call("GetFirstGuidHob", {guid_at(guids::kMeFwHob)}), 0u);
}

TEST_F(HobTest, MissingPlatformInfoGivesBoardIdFFAfterAssertion) {
  scenario.platform_info.present = false;
  EXPECT_EQ(call("GetBoardId") & 0xFF, 0xFFu);
  EXPECT_EQ(asserts(), std::vector<std::string>{
                           "QuarnelPkg/Library/SystemBoardPpiLib/SystemBoardPpiLib:91:GuidHob != "
                           "((void *) 0)"});
}

// PEI services answered by stand-ins, for answers the foundation never gives.
class StandInServiceTest : public BoardTest {
 protected:
  // Slot `offset` of the IA32 services table calls `handler` from now on.
  void replace_service(uint32_t offset, TrapHandler handler) {
    const uint32_t table = mem().read32(board().foundation().services_pointer());
    mem().write32(table + offset, mem().add_trap("stand-in service", std::move(handler)));
  }
  // GetHobList (slot 0x30) answers `status` and stores `list` unless it is 0.
  void answer(uint32_t status, uint32_t list) {
    replace_service(0x30, [=, this](TrapFrame& frame) {
      if (list != 0) mem().guest_write32(frame.arg(1), list);
      frame.set_result(status);
    });
  }
};

TEST_F(StandInServiceTest, ErrorAndNullListAreBothReported) {
  answer(0x8000000E, 0);
  EXPECT_EQ(call("GetHobList"), 0u);
  EXPECT_EQ(asserts(), (std::vector<std::string>{
                           "BasePkg/Library/PeiHobLib/HobLib:50:!EFI_ERROR (Status)",
                           "BasePkg/Library/PeiHobLib/HobLib:51:HobList != ((void *) 0)"}));
  EXPECT_EQ(prints(), std::vector<std::string>{"\nASSERT_EFI_ERROR (Status = Not Found)\n"});
}

TEST_F(StandInServiceTest, EachCheckStandsAlone) {
  // A failing status that still hands out a list: reported, and the list is returned.
  answer(0x80000007, 0x00230000);
  EXPECT_EQ(call("GetHobList"), 0x00230000u);
  EXPECT_EQ(assert_lines(), std::vector<uint32_t>{50});
  // Success without a list: only the null check speaks.
  make_board();
  answer(0, 0);
  EXPECT_EQ(call("GetHobList"), 0u);
  EXPECT_EQ(assert_lines(), std::vector<uint32_t>{51});
  EXPECT_TRUE(prints().empty());
  // A warning status (bit 31 clear) is no error.
  make_board();
  answer(0x00000004, 0x00230000);
  EXPECT_EQ(call("GetHobList"), 0x00230000u);
  EXPECT_TRUE(asserts().empty());
}

TEST_F(StandInServiceTest, AllocateCopyPoolCopiesOnlyIntoABufferThatCameWithSuccess) {
  const uint32_t source = board().scratch_bytes(std::vector<uint8_t>{1, 2, 3, 4}, 4);
  const uint32_t offered = board().scratch(4, 4);
  mem().write32(offered, 0xEEEEEEEE);
  // AllocatePool (slot 0x4C) fails yet hands out a buffer: null, and the buffer stays as it was.
  replace_service(0x4C, [=, this](TrapFrame& frame) {
    mem().guest_write32(frame.arg(2), offered);
    frame.set_result(kOutOfResources);
  });
  EXPECT_EQ(call("AllocateCopyPool", {4, source}), 0u);
  EXPECT_EQ(mem().read32(offered), 0xEEEEEEEEu);
  // AllocatePool succeeds without a buffer: null, and no copy to address 0 (it would fault).
  replace_service(0x4C, [](TrapFrame& frame) { frame.set_result(0); });
  EXPECT_EQ(call("AllocateCopyPool", {4, source}), 0u);
  EXPECT_TRUE(asserts().empty());
}

class DebugTest : public BoardTest {};

TEST_F(DebugTest, LevelFilterPassesOnlyBitsOfTheMask) {
  const uint32_t format = board().scratch_string("v=%d s=%a\n");
  const uint32_t text = board().scratch_string("x");
  for (uint32_t level : {0x80000000u, 0x40u, 0x2u, 0x4u, 0x8u, 0x400000u, 0u}) {
    call("DebugPrint", {level, format, static_cast<uint32_t>(-5), text});
  }
  EXPECT_EQ(print_levels(), (std::vector<uint32_t>{0x80000000u, 0x40u, 0x2u, 0x4u}));
  EXPECT_EQ(prints()[0], "v=-5 s=x\n");
  EXPECT_EQ(call("DebugPrintLevelEnabled", {0}) & 0xFF, 0u);
  EXPECT_EQ(call("DebugPrintLevelEnabled", {0x8}) & 0xFF, 1u);
  EXPECT_EQ(call("DebugPrintEnabled") & 0xFF, 1u);
  EXPECT_EQ(call("DebugAssertEnabled") & 0xFF, 1u);
}

TEST_F(DebugTest, AssertPassesFileLineAndTextUnchanged) {
  call("DebugAssert", {board().scratch_string("A/B"), 77, board().scratch_string("x == y")});
  EXPECT_EQ(asserts(), std::vector<std::string>{"A/B:77:x == y"});
}

TEST_F(DebugTest, WithoutThePpiEverythingIsDroppedAndTheCallerGoesOn) {
  scenario.debug.ppi_present = false;
  const uint32_t format = board().scratch_string("dropped\n");
  call("DebugPrint", {kError, format});
  call("DebugAssert", {format, 1, format});
  scenario.platform_info.present = false;
  make_board();
  EXPECT_EQ(call("GetBoardId") & 0xFF, 0xFFu);
  EXPECT_TRUE(board().log().events.empty());
}

TEST_F(DebugTest, HaltOnAssertStopsTheCall) {
  scenario.debug.halt_on_assert = true;
  scenario.platform_info.present = false;
  const CallResult r = board().call("GetBoardId");
  EXPECT_EQ(r.stop.kind, StopKind::kHalted);
  EXPECT_EQ(assert_lines(), std::vector<uint32_t>{91});
}

class PlatformAccessTest : public BoardTest {
 protected:
  bool touched(uint32_t address) {
    const auto all = accesses();
    return std::any_of(all.begin(), all.end(), [&](const TraceRecord& t) {
      return t.address <= address && address < t.address + t.width;
    });
  }
};

TEST_F(PlatformAccessTest, ServicesPointerComesFromBelowTheIdt) {
  EXPECT_EQ(call("GetPeiServicesTablePointer"), board().foundation().services_pointer());
  const uint32_t idtr = board().scratch(8, 4);
  call("ReadIdtr", {idtr});
  EXPECT_EQ(mem().read16(idtr), ram::kIdtLimit);
  EXPECT_EQ(mem().read32(idtr + 2), ram::kIdtBase);
}

TEST_F(PlatformAccessTest, NullIdtrBufferIsReportedThenStored) {
  const CallResult r = board().call("ReadIdtr", {0});
  EXPECT_EQ(asserts(), std::vector<std::string>{
                           "BasePkg/Library/BaseLib/X86ReadIdtr:37:Idtr != ((void *) 0)"});
  // SIDT then stores to page 0, as the processor would.
  EXPECT_EQ(r.stop.fault.kind, FaultKind::kWriteUnmapped);
  EXPECT_EQ(r.stop.fault.address, 0u);
}

TEST_F(PlatformAccessTest, NullServicesPointerIsReturnedWithoutLooping) {
  mem().write32(ram::kIdtBase - 4, 0);
  EXPECT_EQ(call("GetPeiServicesTablePointer"), 0u);
  // Without services the debug PPI cannot be found: prints are dropped, nothing faults.
  call("DebugPrint", {kError, board().scratch_string("lost\n")});
  EXPECT_TRUE(prints().empty());
}

TEST_F(PlatformAccessTest, PcdReadsGoThroughThePcdPpi) {
  scenario.pcd.pcie_base = 0x00000001E0000000ull;
  EXPECT_EQ(call64("PcdGet64", {6}), 0x00000001E0000000ull);
  EXPECT_EQ(call("PcdGetPtr", {7}), board().ppis().mcfg_table());
  EXPECT_EQ(calls_to("Pcd.Get64(6)"), 1u);
  EXPECT_EQ(calls_to("LocatePpi (06E81C58"), 2u) << "the PCD PPI is located on every read";
}

TEST_F(PlatformAccessTest, MissingPcdPpiIsReportedAndGivesNoValue) {
  make_board({.faults = {.locate_status = 0x8000000E}});
  EXPECT_EQ(call64("PcdGet64", {6}), 0u);
  EXPECT_EQ(call("PcdGetPtr", {7}), 0u);
}

TEST_F(PlatformAccessTest, MisalignedSixteenBitAccessAssertsThenAccesses) {
  const uint32_t lpc = scenario.pch.ecam_base + hw::kLpc;
  EXPECT_EQ(call("MmioRead16", {lpc + 2}), scenario.pch.lpc_device_id);
  EXPECT_TRUE(asserts().empty());
  clear_log();
  call("MmioRead16", {lpc + 1});
  EXPECT_EQ(asserts(), std::vector<std::string>{
                           "BasePkg/Library/BaseIoLibIntrinsic/IoLib:151:(Address & 1) == 0"});
  // The bus splits a misaligned access into aligned ones; the byte asked for is read.
  EXPECT_TRUE(touched(lpc + 1));
  clear_log();
  call("MmioWrite16", {lpc + 0x41, 0x1234});
  EXPECT_EQ(assert_lines(), std::vector<uint32_t>{183});
  EXPECT_TRUE(touched(lpc + 0x41));
}

TEST_F(PlatformAccessTest, ReadUnaligned64OfNullAsserts) {
  const uint32_t eight = board().scratch_bytes(std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}, 4);
  EXPECT_EQ(call64("ReadUnaligned64", {eight + 1}), 0x0908070605040302ull);
  board().call("ReadUnaligned64", {0});
  EXPECT_EQ(asserts().at(0), "BasePkg/Library/BaseLib/Unaligned:192:Buffer != ((void *) 0)");
}

}  // namespace
}  // namespace peiboard::testing
