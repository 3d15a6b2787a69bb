// LPC bridge (bus 0, device 31, function 0): the PCH's identity registers.
#pragma once

#define PCI_BUS_NUMBER_PCH 0
#define PCI_DEVICE_NUMBER_PCH_LPC 31
#define PCI_FUNCTION_NUMBER_PCH_LPC 0

#define R_LPC_CFG_DEVICE_ID 0x02    // 16 bits
#define R_LPC_CFG_REVISION_ID 0x08  // 8 bits
