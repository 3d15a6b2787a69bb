// Configuration access through PCD token 6's window alone.

#include <Library/DebugLib.h>
#include <Library/IoLib.h>
#include <Library/PcdLib.h>
#include <Library/PciExpressLib.h>
#include <Register/PchRegsPmc.h>

#define SOURCE_FILE "BasePkg/Library/BasePciExpressLib/PciExpressLib"

extern "C" {

UINTN EFIAPI GetPciExpressBase() { return (UINTN)PcdGet64(PCD_TOKEN_PCI_EXPRESS_BASE_ADDRESS); }

UINT8 EFIAPI PciExpressRead8(UINTN Address) {
  ASSERT_AT((Address & ~PCI_EXPRESS_CFG_WINDOW_MASK) == 0, SOURCE_FILE, 109,
            "((Address) & ~0xfffffff) == 0");
  return *(volatile UINT8 *)(GetPciExpressBase() + Address);
}

VOID EFIAPI SetPmcAcpiBase() {
  MmioWrite16(GetPciExpressBase() + PCI_EXPRESS_CFG_OFFSET(0, PCI_DEVICE_NUMBER_PCH_PMC,
                                                           PCI_FUNCTION_NUMBER_PCH_PMC,
                                                           R_PMC_CFG_ACPI_BASE),
              V_PMC_ACPI_BASE);
}

}  // extern "C"
