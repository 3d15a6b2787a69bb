#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PeiServicesTablePointerLib.h>

#define SOURCE_FILE "BasePkg/Library/PeiMemoryAllocationLib/MemoryAllocationLib"

extern "C" {

VOID *EFIAPI AllocateCopyPool(UINTN AllocationSize, const VOID *Buffer) {
  ASSERT_AT(Buffer != NULL, SOURCE_FILE, 623, "Buffer != ((void *) 0)");
  ASSERT_AT(AllocationSize <= (0xFFFFFFFF - (UINTN)Buffer + 1), SOURCE_FILE, 624,
            "AllocationSize <= (0xFFFFFFFF - (UINTN) Buffer + 1)");

  const EFI_PEI_SERVICES **PeiServices = GetPeiServicesTablePointer();
  VOID *Memory = NULL;
  EFI_STATUS Status = (*PeiServices)->AllocatePool(PeiServices, AllocationSize, &Memory);
  if (EFI_ERROR(Status)) {
    Memory = NULL;
  }
  if (Memory != NULL) {
    CopyMem(Memory, Buffer, AllocationSize);
  }
  return Memory;
}

}  // extern "C"
