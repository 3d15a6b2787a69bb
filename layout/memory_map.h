// The emulated board's memory map and the hardware facts every part of the host agrees on:
// where guest RAM, the trap page, the chipset's windows and the flash lie, the PCI functions
// and register offsets the devices answer at, and the sizes of the HOBs the board builds.
// Dependency-free, so the board, the scenario checks, the PEI foundation and the fuzzer share
// one set of names.
#pragma once

#include <array>
#include <cstdint>

namespace peiboard {

// Guest RAM map. Page 0 is left unmapped so a null pointer faults, and so is a guard below
// the stack; every other address no RAM claims is decoded by the chipset (or aborts).
namespace ram {
inline constexpr uint32_t kIdtPage = 0x00001000;  // services pointer, then the IDT
inline constexpr uint32_t kIdtPageSize = 0x2000;
inline constexpr uint32_t kIdtBase = 0x00002000;  // services pointer at kIdtBase - 4
inline constexpr uint16_t kIdtLimit = 0x07FF;
inline constexpr uint32_t kStackGuard = 0x000E0000;  // unmapped: an overflow faults
inline constexpr uint32_t kStack = 0x000F0000;
inline constexpr uint32_t kStackSize = 0x00010000;
inline constexpr uint32_t kStackTop = kStack + kStackSize;  // the machine's calls start here
inline constexpr uint32_t kArena = 0x00100000;  // foundation tables, PPIs, MCFG, PTSS entries
inline constexpr uint32_t kArenaSize = 0x00100000;
inline constexpr uint32_t kHobs = 0x00200000;  // the HOB list
inline constexpr uint32_t kHobsSize = 0x00100000;
inline constexpr uint32_t kPool = 0x00300000;  // what AllocatePool hands out
inline constexpr uint32_t kPoolMax = 0x00100000;
inline constexpr uint32_t kSetup = 0x00400000;
inline constexpr uint32_t kSetupSize = 0x1000;
inline constexpr uint32_t kPolicy = 0x00402000;
inline constexpr uint32_t kPolicySize = 0x2000;
inline constexpr uint32_t kScratch = 0x00500000;  // for tests: buffers passed to routines
inline constexpr uint32_t kScratchSize = 0x00100000;
inline constexpr uint32_t kLimit = 0x01000000;  // RAM ends below 16 MiB
// The page of trap addresses: each service or PPI routine the host carries out is one.
inline constexpr uint32_t kTrapBase = 0x0F000000;
inline constexpr uint32_t kTrapPageSize = 0x4000;
// The image executes in place in the flash window at the top of the 4 GiB space.
inline constexpr uint32_t kFlashBase = 0xFF000000;
inline constexpr uint32_t kFlashSize = 0x01000000;
// Where an image linked outside the flash window is moved to (the default link address).
inline constexpr uint32_t kDefaultImageBase = 0xFFF00000;
}  // namespace ram

// Register addresses and values that are facts of the hardware, not of a scenario.
namespace hw {
inline constexpr uint32_t kPcrBase = 0xFD000000;  // the PCR window: port id << 16 | offset
inline constexpr uint32_t kPcrSize = 0x01000000;
inline constexpr uint64_t kEcamSize = 0x10000000;  // the configuration window, 256 MiB aligned
inline constexpr uint32_t kPwrmSize = 0x10000;     // the PWRM block, 64 KiB aligned
inline constexpr uint32_t kDefaultPwrmBase = 0xFE000000;  // where firmware puts the PWRM block
inline constexpr uint16_t kVendorId = 0x5A5A;             // the board model's stand-in vendor id
inline constexpr uint8_t kPortHsio = 0x13;                // PCR port of the lane owners
inline constexpr uint16_t kLaneOwnerOffset = 0x250;
inline constexpr uint8_t kPortPcieController0 = 0xE0;  // PCR port of the first function map
inline constexpr uint32_t kDwrOffset = 0x12C;          // PWRM offset of the DWR status
inline constexpr uint32_t kDwrActive = 0x8000;
inline constexpr uint32_t kStrapFuseCfg = 0xFC;  // offset in a controller's first root port
// PCI device of each root-port controller's functions.
inline constexpr std::array<uint8_t, 5> kControllerDevice{28, 28, 29, 29, 27};

constexpr uint32_t bdf(uint32_t bus, uint32_t device, uint32_t function) {
  return bus << 20 | device << 15 | function << 12;
}
inline constexpr uint32_t kLpc = bdf(0, 31, 0);
inline constexpr uint32_t kPmc = bdf(0, 31, 2);
inline constexpr uint32_t kHeci = bdf(0, 22, 0);

// The PWRM block lies on 64 KiB: the low bits of the PMC's base register are not its address.
inline constexpr uint32_t kPwrmBaseMask = 0xFFFF0000;
}  // namespace hw

// Sizes of the HOBs the board builds (PI volume 3), headers included unless named data.
namespace hob {
inline constexpr uint32_t kHandoffSize = 56;       // the handoff information table HOB
inline constexpr uint32_t kEndSize = 8;            // the end-of-list HOB
inline constexpr uint32_t kGuidHeaderSize = 24;    // a GUID HOB's header and name
inline constexpr uint32_t kMaxLength = 0xFFF8;     // a HOB's 16-bit length, a multiple of 8
inline constexpr uint32_t kPlatformInfoData = 64;  // the platform-information HOB's data
inline constexpr uint32_t kMeFwData = 40;          // the ME firmware HOB's data
}  // namespace hob

}  // namespace peiboard
