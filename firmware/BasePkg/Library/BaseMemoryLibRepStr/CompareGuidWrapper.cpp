#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>

extern "C" {

BOOLEAN EFIAPI CompareGuid(const EFI_GUID *Guid1, const EFI_GUID *Guid2) {
  // A GUID is compared as two 64-bit halves read from any alignment.
  UINT64 LowPartOfGuid1 = ReadUnaligned64((const UINT64 *)Guid1);
  UINT64 LowPartOfGuid2 = ReadUnaligned64((const UINT64 *)Guid2);
  UINT64 HighPartOfGuid1 = ReadUnaligned64((const UINT64 *)Guid1 + 1);
  UINT64 HighPartOfGuid2 = ReadUnaligned64((const UINT64 *)Guid2 + 1);
  return LowPartOfGuid1 == LowPartOfGuid2 && HighPartOfGuid1 == HighPartOfGuid2;
}

}  // extern "C"
