// Platform configuration values, read through the PCD PPI on every access.
#pragma once

#include <Ppi/Pcd.h>

#define PCD_TOKEN_PCI_EXPRESS_BASE_ADDRESS 6  // 64-bit base of the configuration window
#define PCD_TOKEN_MCFG_TABLE 7                // pointer to the platform's MCFG-style table

extern "C" {

// The PCD PPI interface, or null (after an error report) when it is not installed.
PcdPpi *EFIAPI GetPcdPpi();

// The 64-bit value of TokenNumber; 0 when there is no PCD PPI.
UINT64 EFIAPI PcdGet64(UINTN TokenNumber);

// The pointer value of TokenNumber; null when there is no PCD PPI.
VOID *EFIAPI PcdGetPtr(UINTN TokenNumber);

}  // extern "C"
