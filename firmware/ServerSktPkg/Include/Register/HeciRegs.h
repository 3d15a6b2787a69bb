// First HECI function (bus 0, device 22, function 0): the ME firmware status registers.
#pragma once

#define PCI_DEVICE_NUMBER_HECI 22
#define PCI_FUNCTION_NUMBER_HECI1 0

#define R_HECI_CFG_MEFS1 0x40  // 32 bits; all ones when the function does not answer
#define R_HECI_CFG_MEFS2 0x48  // 32 bits

#define B_MEFS1_CURRENT_STATE 0xFu
#define V_MEFS1_CURRENT_STATE_2 2
#define V_MEFS1_CURRENT_STATE_4 4
#define V_MEFS1_CURRENT_STATE_15 15
#define N_MEFS1_OPERATION_MODE 16
#define B_MEFS1_OPERATION_MODE 0xFu
#define V_MEFS1_ALL_ONES 0xFFFFFFFFu
