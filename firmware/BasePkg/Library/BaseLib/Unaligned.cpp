#include <Library/BaseLib.h>
#include <Library/DebugLib.h>

#define SOURCE_FILE "BasePkg/Library/BaseLib/Unaligned"

extern "C" {

UINT64 EFIAPI ReadUnaligned64(const UINT64 *Buffer) {
  ASSERT_AT(Buffer != NULL, SOURCE_FILE, 192, "Buffer != ((void *) 0)");
  return *(const UNALIGNED_UINT64 *)Buffer;
}

}  // extern "C"
