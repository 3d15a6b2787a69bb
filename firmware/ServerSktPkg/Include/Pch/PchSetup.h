// The setup record handed to the board's PTSS routine. The module reads only three arrays of
// topology codes; the gaps belong to the setup code and are never touched.
#pragma once

#include <Base.h>

#define PCH_MAX_SATA_PORTS 8
#define PCH_MAX_SSATA_PORTS 6
#define PCH_MAX_PCIE_ROOT_PORTS 20

struct PchSetup {
  UINT8 OtherSettings0[232];
  UINT8 SataTopology[PCH_MAX_SATA_PORTS];
  UINT8 OtherSettings1[72];
  UINT8 SSataTopology[PCH_MAX_SSATA_PORTS];
  UINT8 OtherSettings2[202];
  UINT8 PcieTopology[PCH_MAX_PCIE_ROOT_PORTS];
};
static_assert(OFFSET_OF(PchSetup, SataTopology) == 232);
static_assert(OFFSET_OF(PchSetup, SSataTopology) == 312);
static_assert(OFFSET_OF(PchSetup, PcieTopology) == 520);
