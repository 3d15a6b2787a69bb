// ME firmware HOB, left by earlier ME code. It records, per HECI function, the firmware status
// that code saw; the module reads the first group only.
#pragma once

#include <Pi/Hob.h>

struct MeFwHob {
  EFI_HOB_GUID_TYPE Header;
  UINT32 DataBeforeGroups;
  UINT32 Group0FunNumber;  // HECI function the first group describes
  UINT32 Group0MeFs1;      // MEFS1 recorded for that function
};
static_assert(OFFSET_OF(MeFwHob, Group0FunNumber) == 28);
static_assert(OFFSET_OF(MeFwHob, Group0MeFs1) == 32);

extern "C" const EFI_GUID gMeFwHobGuid;
