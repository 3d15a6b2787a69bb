// PCI configuration addressing through the memory-mapped (enhanced) configuration window.
#pragma once

#include <Base.h>

// Offset of a function's register in the 256 MiB configuration window.
#define PCI_EXPRESS_CFG_OFFSET(Bus, Device, Function, Register)     \
  ((((UINT32)(Bus)&0xFF) << 20) | (((UINT32)(Device)&0x1F) << 15) | \
   (((UINT32)(Function)&0x7) << 12) | (UINT32)(Register))
#define PCI_EXPRESS_CFG_WINDOW_MASK 0x0FFFFFFFu

// MCFG-style table: a 16-byte header, then one 16-byte base address allocation per PCI segment
// (the layout of the ACPI MCFG allocation structure), entry s describing segment s.
struct McfgTableHeader {
  UINT32 Signature;  // "MCFG"
  UINT32 Length;     // 16 + 16 * entries
  UINT8 HeaderRemainder[8];
};
static_assert(sizeof(McfgTableHeader) == 16);
static_assert(OFFSET_OF(McfgTableHeader, Length) == 4);

struct McfgBaseAddressAllocation {
  UINT64 BaseAddress;
  UINT16 PciSegmentGroupNumber;
  UINT8 StartBusNumber;
  UINT8 EndBusNumber;
  UINT32 Reserved;
};
static_assert(sizeof(McfgBaseAddressAllocation) == 16);
static_assert(OFFSET_OF(McfgBaseAddressAllocation, PciSegmentGroupNumber) == 8);
static_assert(OFFSET_OF(McfgBaseAddressAllocation, StartBusNumber) == 10);
static_assert(OFFSET_OF(McfgBaseAddressAllocation, EndBusNumber) == 11);

#define DEFAULT_MCFG_SEGMENT_COUNT 8

struct DefaultMcfgTableLayout {
  McfgTableHeader Header;
  McfgBaseAddressAllocation Segment[DEFAULT_MCFG_SEGMENT_COUNT];
};
static_assert(sizeof(DefaultMcfgTableLayout) == 144);
static_assert(OFFSET_OF(DefaultMcfgTableLayout, Segment) == 16);

extern "C" {

// Used when the platform's table (PCD token 7) has length 0: segment 0 at 0x80000000, buses 0 to
// 255.
extern const DefaultMcfgTableLayout DefaultMcfgTable;

// Address of register 0 of Bus/Device/Function (masked to 8, 5 and 3 bits) in segment 0.
UINTN EFIAPI GetPciCfgBase(UINT32 Bus, UINT32 Device, UINT32 Function);

// Configuration base of Segment: the platform's MCFG-style table when it has a length, else the
// built-in one; a zero base falls back to PCD token 6. Only the low 32 bits are returned.
UINTN EFIAPI GetPciSegmentBase(UINT16 Segment);

// Low 32 bits of PCD token 6.
UINTN EFIAPI GetPciExpressBase();

// The byte at configuration offset Address above GetPciExpressBase(). Address must lie inside
// the 256 MiB window.
UINT8 EFIAPI PciExpressRead8(UINTN Address);

// Programs the PMC's ACPI I/O base (bus 0, device 31, function 2, register 0x40) to 0x0500, one
// 16-bit write above GetPciExpressBase().
VOID EFIAPI SetPmcAcpiBase();

}  // extern "C"
