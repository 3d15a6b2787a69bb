// PCH private configuration register reads.
#pragma once

#include <Uefi/UefiTypes.h>

extern "C" {

// Reads the 32-bit register at Offset of unit Port into *Data. EFI_INVALID_PARAMETER, with no
// access and *Data untouched, when Offset is not a multiple of 4.
EFI_STATUS EFIAPI PchPcrRead(UINT8 Port, UINT16 Offset, UINT32 *Data);

}  // extern "C"
