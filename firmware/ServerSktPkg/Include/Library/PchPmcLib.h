// PMC state queries.
#pragma once

#include <Base.h>

extern "C" {

// TRUE when the PWRM DWR register shows the DWR flow; FALSE (after an assertion report) when
// there is no PWRM base.
BOOLEAN EFIAPI IsDwrFlow();

}  // extern "C"
