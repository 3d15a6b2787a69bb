// Memory-mapped register access: each call is exactly one access of the stated width.
#pragma once

#include <Base.h>

extern "C" {

// Reads 16 bits at Address (which should be 2-byte aligned; a misaligned address is reported
// and then read all the same).
UINT16 EFIAPI MmioRead16(UINTN Address);

// Writes Value as 16 bits at Address and returns it; alignment as for MmioRead16.
UINT16 EFIAPI MmioWrite16(UINTN Address, UINT16 Value);

// Reads 32 bits at Address.
UINT32 EFIAPI MmioRead32(UINTN Address);

}  // extern "C"
