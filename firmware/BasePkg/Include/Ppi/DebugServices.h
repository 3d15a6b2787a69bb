// Debug-services PPI: where every log line and failed assertion of the module goes. The PPI
// renders formats and decides whether an assertion stops the boot.
#pragma once

#include <Uefi/UefiTypes.h>

// Prints Format with the arguments Marker points at, for a message of level ErrorLevel.
typedef VOID(EFIAPI *DEBUG_SERVICES_PRINT)(UINTN ErrorLevel, const CHAR8 *Format, VA_LIST Marker);
// Reports a failed assertion; may not return.
typedef VOID(EFIAPI *DEBUG_SERVICES_ASSERT)(const CHAR8 *FileName, UINTN LineNumber,
                                            const CHAR8 *Description);

struct DebugServicesPpi {
  DEBUG_SERVICES_PRINT Print;
  DEBUG_SERVICES_ASSERT Assert;
};
static_assert(sizeof(DebugServicesPpi) == 8);
static_assert(OFFSET_OF(DebugServicesPpi, Assert) == 4);

extern "C" const EFI_GUID gDebugServicesPpiGuid;
