// The PCH policy record handed to the board's PTSS routine: byte-packed, so its 32-bit words sit
// at any alignment. Only the HSIO lane PTSS records are described; the gaps belong to the chipset
// code and are never touched.
#pragma once

#include <Pch/PchSetup.h>

// A PTSS setting in a lane record word is an enable bit followed directly by its value bits.
// Writing the setting sets the enable bit and replaces the value bits; other bits keep their
// content.

// SATA and sSATA lane: nine settings of six bits in words 0 to 2.
struct __attribute__((packed)) SataLanePtssRecord {
  UINT32 Word0;
  UINT32 Word1;
  UINT32 Word2;
  UINT8 OtherSettings[32];
};
static_assert(sizeof(SataLanePtssRecord) == 44);

// PCIe lane: five settings in words 0, 2 and 3; word 1 is not PTSS data.
struct __attribute__((packed)) PcieLanePtssRecord {
  UINT32 Word0;
  UINT32 Word1;
  UINT32 Word2;
  UINT32 Word3;
  UINT8 OtherSettings[48];
};
static_assert(sizeof(PcieLanePtssRecord) == 64);

#define PCH_PCIE_DIRECT_PTSS_RECORDS 20

struct __attribute__((packed)) PchPolicy {
  UINT8 OtherSettings0[3538];
  SataLanePtssRecord SataPtssRecords[PCH_MAX_SATA_PORTS];
  UINT8 OtherSettings1[32];
  SataLanePtssRecord SSataPtssRecords[PCH_MAX_SSATA_PORTS];
  UINT8 OtherSettings2[120];
  PcieLanePtssRecord PcieRpPtssRecords[PCH_MAX_PCIE_ROOT_PORTS];
  UINT8 OtherSettings3[12];
  PcieLanePtssRecord PcieDirectPtssRecords[PCH_PCIE_DIRECT_PTSS_RECORDS];
};
static_assert(OFFSET_OF(PchPolicy, SataPtssRecords) == 3538);
static_assert(OFFSET_OF(PchPolicy, SSataPtssRecords) == 3922);
static_assert(OFFSET_OF(PchPolicy, PcieRpPtssRecords) == 4306);
static_assert(OFFSET_OF(PchPolicy, PcieDirectPtssRecords) == 5598);
static_assert(OFFSET_OF(PchPolicy, PcieDirectPtssRecords) ==
              OFFSET_OF(PchPolicy, PcieRpPtssRecords) + 1292);
