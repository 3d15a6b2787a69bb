// Debug output and assertions, sent to the debug-services PPI. Without that PPI (or without a
// PEI services table) every print and assertion is dropped silently and the caller carries on.
#pragma once

#include <Uefi/UefiTypes.h>

#define DEBUG_WARN 0x00000002u
#define DEBUG_INFO 0x00000040u
#define DEBUG_ERROR 0x80000000u

// Levels with no bit in this mask are dropped.
#define DEBUG_PRINT_LEVEL_MASK 0x80000046u

extern "C" {

struct DebugServicesPpi;

// The debug-services PPI, or null when it (or the PEI services table) is missing.
DebugServicesPpi *EFIAPI LocateDebugServicesPpi();

// Prints Format with the values that follow it at ErrorLevel. The PPI is located before the level
// is filtered.
VOID EFIAPI DebugPrint(UINTN ErrorLevel, const CHAR8 *Format, ...);

// Reports a failed assertion: source file, line and the text of the condition. Returns unless
// the PPI's assert operation does not.
VOID EFIAPI DebugAssert(const CHAR8 *FileName, UINTN LineNumber, const CHAR8 *Description);

// Always TRUE: prints and assertions are compiled in. DebugAssertEnabled is the same routine.
BOOLEAN EFIAPI DebugPrintEnabled();
BOOLEAN EFIAPI DebugAssertEnabled();

// TRUE when ErrorLevel is not zero.
BOOLEAN EFIAPI DebugPrintLevelEnabled(UINTN ErrorLevel);

}  // extern "C"

// Fixed diagnostic patterns. Each reports and then lets the caller carry on with its next
// statement; File, Line and the condition text are the caller's fixed strings.

#define ASSERT_AT(Condition, File, Line, Text) \
  do {                                         \
    if (!(Condition)) {                        \
      DebugAssert((File), (Line), (Text));     \
    }                                          \
  } while (0)

#define ASSERT_EFI_ERROR_AT(Status, File, Line)                                \
  do {                                                                         \
    if (EFI_ERROR(Status)) {                                                   \
      DebugPrint(DEBUG_ERROR, "\nASSERT_EFI_ERROR (Status = %r)\n", (Status)); \
      DebugAssert((File), (Line), "!EFI_ERROR (Status)");                      \
    }                                                                          \
  } while (0)

#define ASSERT_UNREACHABLE_AT(File, Line) DebugAssert((File), (Line), "((BOOLEAN)(0==1))")

// Forms that ask the enable queries first, for code that checks them before each report.
#define DEBUG_IF_ENABLED(Level, ...)                            \
  do {                                                          \
    if (DebugPrintEnabled() && DebugPrintLevelEnabled(Level)) { \
      DebugPrint((Level), __VA_ARGS__);                         \
    }                                                           \
  } while (0)

#define ASSERT_IF_ENABLED_AT(Condition, File, Line, Text) \
  do {                                                    \
    if (DebugAssertEnabled()) {                           \
      ASSERT_AT(Condition, File, Line, Text);             \
    }                                                     \
  } while (0)
