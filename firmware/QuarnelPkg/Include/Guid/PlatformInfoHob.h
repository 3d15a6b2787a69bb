// Platform-information HOB, produced by earlier platform code. The module reads its board id.
#pragma once

#include <Pi/Hob.h>

#define PLATFORM_INFO_BOARD_ID_UNKNOWN 0xFF

struct PlatformInfoHob {
  EFI_HOB_GUID_TYPE Header;
  UINT8 DataBeforeBoardId[37];
  UINT8 BoardId;
};
static_assert(OFFSET_OF(PlatformInfoHob, BoardId) == 61);

extern "C" const EFI_GUID gPlatformInfoHobGuid;
