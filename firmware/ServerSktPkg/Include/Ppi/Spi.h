// SPI PPI: flash access. The module calls only the PCH soft-strap read, the tenth pointer-sized
// field of the interface.
#pragma once

#include <Uefi/UefiTypes.h>

struct SpiPpi;

// Reads ByteCount bytes of the PCH soft straps, starting at byte SoftStrapOffset, into Buffer.
typedef EFI_STATUS(EFIAPI *SPI_READ_PCH_SOFT_STRAP)(SpiPpi *This, UINT32 SoftStrapOffset,
                                                    UINT32 ByteCount, VOID *Buffer);

#define SPI_PPI_SOFT_STRAP_READ_SLOT 9

struct SpiPpi {
  VOID *ServicesBeforeSoftStrapRead[SPI_PPI_SOFT_STRAP_READ_SLOT];
  SPI_READ_PCH_SOFT_STRAP ReadPchSoftStrap;
  // Further services follow; this module does not use them.
};
static_assert(OFFSET_OF(SpiPpi, ReadPchSoftStrap) == 36);

extern "C" const EFI_GUID gSpiPpiGuid;
