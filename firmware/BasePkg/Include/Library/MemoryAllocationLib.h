// PEI pool allocation. Pool memory is never freed.
#pragma once

#include <Uefi/UefiTypes.h>

extern "C" {

// Allocates AllocationSize bytes of pool and copies them from Buffer. Returns the new buffer, or
// null (nothing copied) when the pool cannot supply it.
VOID *EFIAPI AllocateCopyPool(UINTN AllocationSize, const VOID *Buffer);

}  // extern "C"
