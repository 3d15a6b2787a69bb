// PCD PPI: the platform configuration database, read by token number. Only the first six slots
// are described; the module calls slots 4 and 5.
#pragma once

#include <Uefi/UefiTypes.h>

typedef VOID(EFIAPI *PCD_PPI_SET_SKU)(UINTN SkuId);
typedef UINT8(EFIAPI *PCD_PPI_GET8)(UINTN TokenNumber);
typedef UINT16(EFIAPI *PCD_PPI_GET16)(UINTN TokenNumber);
typedef UINT32(EFIAPI *PCD_PPI_GET32)(UINTN TokenNumber);
typedef UINT64(EFIAPI *PCD_PPI_GET64)(UINTN TokenNumber);
typedef VOID *(EFIAPI *PCD_PPI_GET_POINTER)(UINTN TokenNumber);

struct PcdPpi {
  PCD_PPI_SET_SKU SetSku;
  PCD_PPI_GET8 Get8;
  PCD_PPI_GET16 Get16;
  PCD_PPI_GET32 Get32;
  PCD_PPI_GET64 Get64;
  PCD_PPI_GET_POINTER GetPtr;
  // Further slots follow; this module does not use them.
};
static_assert(OFFSET_OF(PcdPpi, Get64) == 4 * 4);
static_assert(OFFSET_OF(PcdPpi, GetPtr) == 5 * 4);

extern "C" const EFI_GUID gPcdPpiGuid;
