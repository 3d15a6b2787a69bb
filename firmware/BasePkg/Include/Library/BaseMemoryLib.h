// Memory copy, zeroing and GUID comparison.
#pragma once

#include <Uefi/UefiTypes.h>

extern "C" {

// Copies Length bytes and returns DestinationBuffer; overlapping ranges come out right in either
// direction. Length 0 returns at once.
VOID *EFIAPI CopyMem(VOID *DestinationBuffer, const VOID *SourceBuffer, UINTN Length);

// Clears Length bytes and returns Buffer. Length 0 returns at once.
VOID *EFIAPI ZeroMem(VOID *Buffer, UINTN Length);

// TRUE when the 16 bytes of the two GUIDs are equal; either may sit at any alignment.
BOOLEAN EFIAPI CompareGuid(const EFI_GUID *Guid1, const EFI_GUID *Guid2);

// What the compiler may call for aggregate copies and clears.
VOID *memcpy(VOID *Destination, const VOID *Source, __SIZE_TYPE__ Length);
VOID *memset(VOID *Destination, int Value, __SIZE_TYPE__ Length);

}  // extern "C"
