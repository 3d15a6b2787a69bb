// The PEI services table pointer, which the PEI foundation keeps in the 4 bytes below the IDT.
#pragma once

#include <Pi/PeiServices.h>

extern "C" {

// Returns the pointer stored below the IDT base; asserts when it is null and returns it anyway.
const EFI_PEI_SERVICES **EFIAPI GetPeiServicesTablePointer();

// The same read without the assertion, for the debug library: reporting a missing pointer needs
// the pointer itself.
const EFI_PEI_SERVICES **EFIAPI GetPeiServicesTablePointerUnchecked();

}  // extern "C"
