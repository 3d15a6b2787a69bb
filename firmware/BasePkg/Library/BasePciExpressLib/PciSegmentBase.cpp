// Configuration addresses from the MCFG-style table of PCD token 7, with a built-in table
// behind it and PCD token 6 as the last resort.

#include <Library/PcdLib.h>
#include <Library/PciExpressLib.h>

extern "C" {

const DefaultMcfgTableLayout DefaultMcfgTable = {
    {SIGNATURE_32('M', 'C', 'F', 'G'),
     sizeof(DefaultMcfgTableLayout),
     {0x01, DEFAULT_MCFG_SEGMENT_COUNT, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {{0x80000000, 0, 0, 255, 0}}};

UINTN EFIAPI GetPciSegmentBase(UINT16 Segment) {
  const UINT8 *Table = (const UINT8 *)PcdGetPtr(PCD_TOKEN_MCFG_TABLE);
  // Design decision: a PCD that yields no table at all is treated like a table of length 0.
  if (Table == NULL ||
      *(const UNALIGNED_UINT32 *)(Table + OFFSET_OF(McfgTableHeader, Length)) == 0) {
    Table = (const UINT8 *)&DefaultMcfgTable;
  }
  // The entry is found by position; it is not checked against the table's length.
  UINT64 Base = *(const UNALIGNED_UINT64 *)(Table + sizeof(McfgTableHeader) +
                                            sizeof(McfgBaseAddressAllocation) * Segment);
  if (Base == 0) {
    return (UINTN)PcdGet64(PCD_TOKEN_PCI_EXPRESS_BASE_ADDRESS);
  }
  return (UINTN)Base;
}

UINTN EFIAPI GetPciCfgBase(UINT32 Bus, UINT32 Device, UINT32 Function) {
  UINT32 Offset = PCI_EXPRESS_CFG_OFFSET(Bus, Device, Function, 0);
  return GetPciSegmentBase(0) + (Offset & PCI_EXPRESS_CFG_WINDOW_MASK);
}

}  // extern "C"
