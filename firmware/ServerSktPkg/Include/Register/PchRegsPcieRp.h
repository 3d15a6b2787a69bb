// PCIe root port configuration registers.
#pragma once

// Strap and fuse configuration of the controller, in its first root port. Bits 15:14 tell how
// the controller's four lanes are grouped into root ports.
#define R_PCIE_RP_CFG_STRAP_FUSE_CFG 0xFC
#define N_PCIE_RP_CFG_STRAP_FUSE_CFG_LANE_GROUPING 14
#define B_PCIE_RP_CFG_STRAP_FUSE_CFG_LANE_GROUPING 0x3

#define V_PCIE_LANE_GROUPING_SEPARATE 0    // each lane its own root port
#define V_PCIE_LANE_GROUPING_FIRST_PAIR 1  // lanes 0-1 to the first port, lanes 2 and 3 alone
#define V_PCIE_LANE_GROUPING_TWO_PAIRS 2   // lanes 0-1 to the first port, 2-3 to the third
#define V_PCIE_LANE_GROUPING_ALL_FIRST 3   // all four lanes to the first port
