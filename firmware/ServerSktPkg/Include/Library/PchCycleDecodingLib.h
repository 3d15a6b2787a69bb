// PCH decode ranges.
#pragma once

#include <Uefi/UefiTypes.h>

extern "C" {

// Stores the PWRM base (PMC register 0x48, bits 31:16) in *Address and returns EFI_SUCCESS.
// EFI_INVALID_PARAMETER for a null Address; EFI_UNSUPPORTED when the PMC does not answer. On
// failure *Address is untouched.
EFI_STATUS EFIAPI PchPwrmBaseGet(UINT32 *Address);

}  // extern "C"
