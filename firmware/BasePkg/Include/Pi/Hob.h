// Hand-off block headers as PI 1.x volume 3 lays them out.
#pragma once

#include <Uefi/UefiTypes.h>

#define EFI_HOB_TYPE_GUID_EXTENSION 0x0004
#define EFI_HOB_TYPE_END_OF_HOB_LIST 0xFFFF

// HobLength counts the bytes from the start of this HOB to the start of the next one.
struct EFI_HOB_GENERIC_HEADER {
  UINT16 HobType;
  UINT16 HobLength;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_HOB_GENERIC_HEADER) == 8);

// The owner's data follows the header, 24 bytes from the start of the HOB.
struct EFI_HOB_GUID_TYPE {
  EFI_HOB_GENERIC_HEADER Header;
  EFI_GUID Name;
};
static_assert(sizeof(EFI_HOB_GUID_TYPE) == 24);
static_assert(OFFSET_OF(EFI_HOB_GUID_TYPE, Name) == 8);
