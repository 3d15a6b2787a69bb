// Processor and unaligned-access primitives.
#pragma once

#include <Base.h>

// Image of the IDTR as SIDT stores it: 16-bit limit, then 32-bit base.
struct __attribute__((packed)) Ia32Descriptor {
  UINT16 Limit;
  UINT32 Base;
};
static_assert(sizeof(Ia32Descriptor) == 6);

extern "C" {

// Stores the processor's IDTR into Idtr.
VOID EFIAPI ReadIdtr(Ia32Descriptor *Idtr);

// Returns the little-endian 64-bit value at Buffer, at any alignment.
UINT64 EFIAPI ReadUnaligned64(const UINT64 *Buffer);

}  // extern "C"
