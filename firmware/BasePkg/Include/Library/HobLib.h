// Walks of the PEI foundation's HOB list. Results point at the HOB header; GUID HOB data starts
// 24 bytes further on.
#pragma once

#include <Pi/Hob.h>

extern "C" {

// Start of the HOB list, from the PEI service GetHobList.
VOID *EFIAPI GetHobList();

// First HOB of type Type at or after HobStart, or null when the end of the list comes first.
VOID *EFIAPI GetNextHob(UINT16 Type, const VOID *HobStart);

// First GUID extension HOB named Guid, or null.
VOID *EFIAPI GetFirstGuidHob(const EFI_GUID *Guid);

}  // extern "C"
