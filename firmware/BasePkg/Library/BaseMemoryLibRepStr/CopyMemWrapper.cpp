// Copies with the string instructions: forward as 32-bit words then bytes, backward byte by byte
// when the source starts below an overlapping destination.

#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>

#define SOURCE_FILE "BasePkg/Library/BaseMemoryLibRepStr/CopyMemWrapper"

extern "C" {

VOID *EFIAPI CopyMem(VOID *DestinationBuffer, const VOID *SourceBuffer, UINTN Length) {
  if (Length == 0) {
    return DestinationBuffer;
  }
  ASSERT_AT((Length - 1) <= (0xFFFFFFFF - (UINTN)DestinationBuffer), SOURCE_FILE, 56,
            "(Length - 1) <= (0xFFFFFFFF - (UINTN)DestinationBuffer)");
  ASSERT_AT((Length - 1) <= (0xFFFFFFFF - (UINTN)SourceBuffer), SOURCE_FILE, 57,
            "(Length - 1) <= (0xFFFFFFFF - (UINTN)SourceBuffer)");
  if (DestinationBuffer == SourceBuffer) {
    return DestinationBuffer;
  }

  UINTN Destination = (UINTN)DestinationBuffer;
  UINTN Source = (UINTN)SourceBuffer;
  if (Source >= Destination || Source + Length - 1 < Destination) {
    // Every word is read before any byte at or above it is written, so a destination below an
    // overlapping source is safe too.
    UINTN Words = Length / 4;
    UINTN Bytes = Length % 4;
    __asm__ __volatile__(
        "rep movsl\n\t"
        "movl %[bytes], %%ecx\n\t"
        "rep movsb"
        : "+D"(Destination), "+S"(Source), "+c"(Words)
        : [bytes] "r"(Bytes)
        : "memory");
  } else {
    UINTN Last = Length - 1;
    UINTN Count = Length;
    Destination += Last;
    Source += Last;
    __asm__ __volatile__(
        "std\n\t"
        "rep movsb\n\t"
        "cld"
        : "+D"(Destination), "+S"(Source), "+c"(Count)
        :
        : "memory");
  }
  return DestinationBuffer;
}

// The compiler's block copy; ranges never overlap.
VOID *memcpy(VOID *Destination, const VOID *Source, __SIZE_TYPE__ Length) {
  VOID *Result = Destination;
  __asm__ __volatile__("rep movsb" : "+D"(Destination), "+S"(Source), "+c"(Length) : : "memory");
  return Result;
}

}  // extern "C"
