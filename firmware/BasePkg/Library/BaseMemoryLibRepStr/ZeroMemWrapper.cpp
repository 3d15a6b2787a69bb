#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>

#define SOURCE_FILE "BasePkg/Library/BaseMemoryLibRepStr/ZeroMemWrapper"

extern "C" {

VOID *EFIAPI ZeroMem(VOID *Buffer, UINTN Length) {
  if (Length == 0) {
    return Buffer;
  }
  ASSERT_AT(Buffer != NULL, SOURCE_FILE, 53, "Buffer != ((void *) 0)");
  ASSERT_AT(Length <= (0xFFFFFFFF - (UINTN)Buffer + 1), SOURCE_FILE, 54,
            "Length <= (0xFFFFFFFF - (UINTN)Buffer + 1)");

  UINTN Destination = (UINTN)Buffer;
  UINTN Words = Length / 4;
  UINTN Bytes = Length % 4;
  __asm__ __volatile__(
      "rep stosl\n\t"
      "movl %[bytes], %%ecx\n\t"
      "rep stosb"
      : "+D"(Destination), "+c"(Words)
      : "a"(0), [bytes] "r"(Bytes)
      : "memory");
  return Buffer;
}

// The compiler's block fill.
VOID *memset(VOID *Destination, int Value, __SIZE_TYPE__ Length) {
  VOID *Result = Destination;
  __asm__ __volatile__("rep stosb" : "+D"(Destination), "+c"(Length) : "a"(Value) : "memory");
  return Result;
}

}  // extern "C"
