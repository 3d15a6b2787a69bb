#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/HobLib.h>
#include <Library/PeiServicesTablePointerLib.h>

#define SOURCE_FILE "BasePkg/Library/PeiHobLib/HobLib"

extern "C" {

VOID *EFIAPI GetHobList() {
  const EFI_PEI_SERVICES **PeiServices = GetPeiServicesTablePointer();
  VOID *HobList = NULL;
  EFI_STATUS Status = (*PeiServices)->GetHobList(PeiServices, &HobList);
  ASSERT_EFI_ERROR_AT(Status, SOURCE_FILE, 50);
  ASSERT_AT(HobList != NULL, SOURCE_FILE, 51, "HobList != ((void *) 0)");
  return HobList;
}

VOID *EFIAPI GetNextHob(UINT16 Type, const VOID *HobStart) {
  ASSERT_AT(HobStart != NULL, SOURCE_FILE, 82, "HobStart != ((void *) 0)");
  // Design decision: a null start (a HOB list the foundation did not give) holds no HOB; the
  // walk would take whatever lies at address 0 for HOBs.
  if (HobStart == NULL) {
    return NULL;
  }
  const UINT8 *Hob = (const UINT8 *)HobStart;
  for (;;) {
    const EFI_HOB_GENERIC_HEADER *Header = (const EFI_HOB_GENERIC_HEADER *)Hob;
    if (Header->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      return NULL;
    }
    if (Header->HobType == Type) {
      return (VOID *)Hob;
    }
    // Design decision: a HOB of length 0 would hold the walk in place forever; it is taken as
    // the end of a damaged list.
    if (Header->HobLength == 0) {
      return NULL;
    }
    Hob += Header->HobLength;
  }
}

VOID *EFIAPI GetFirstGuidHob(const EFI_GUID *Guid) {
  const UINT8 *Start = (const UINT8 *)GetHobList();
  for (;;) {
    const EFI_HOB_GUID_TYPE *Hob =
        (const EFI_HOB_GUID_TYPE *)GetNextHob(EFI_HOB_TYPE_GUID_EXTENSION, Start);
    if (Hob == NULL) {
      return NULL;
    }
    if (CompareGuid(Guid, &Hob->Name)) {
      return (VOID *)Hob;
    }
    // As in GetNextHob: a zero length ends the search instead of repeating the same HOB.
    if (Hob->Header.HobLength == 0) {
      return NULL;
    }
    Start = (const UINT8 *)Hob + Hob->Header.HobLength;
  }
}

}  // extern "C"
