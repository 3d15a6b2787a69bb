#include <Library/DebugLib.h>
#include <Library/PchInfoLib.h>
#include <Library/PchPcieRpLib.h>
#include <Library/PchPcrLib.h>
#include <Register/PchRegsPcr.h>

#define SOURCE_FILE "ServerSktPkg/SouthClusterSrv/Library/PeiDxeSmmPchPcieRpLib/PchPcieRpLib"

extern "C" {

// The device of each controller is fixed; the function of each root port comes from the
// controller's function map register.
const PcieRpController PcieRpControllerTable[PCH_PCIE_CONTROLLERS] = {
    {28, PID_PCIE_CONTROLLER_0, 0},  {28, PID_PCIE_CONTROLLER_1, 4},
    {29, PID_PCIE_CONTROLLER_2, 8},  {29, PID_PCIE_CONTROLLER_3, 12},
    {27, PID_PCIE_CONTROLLER_4, 16},
};

EFI_STATUS EFIAPI GetPchPcieRpDevFun(UINT32 RpNumber, UINT32 *Device, UINT32 *Function) {
  if (RpNumber >= GetPchPcieRpCount()) {
    DebugPrint(DEBUG_ERROR, "GetPchPcieRpDevFun invalid RpNumber %x", RpNumber);
    ASSERT_UNREACHABLE_AT(SOURCE_FILE, 91);
    return EFI_INVALID_PARAMETER;
  }

  const PcieRpController *Controller =
      &PcieRpControllerTable[RpNumber / PCIE_ROOT_PORTS_PER_CONTROLLER];
  *Device = Controller->Device;

  UINT32 FunctionMap = 0;
  PchPcrRead(Controller->PortId, R_PCIE_CONTROLLER_FUNCTION_MAP, &FunctionMap);
  UINT32 PortInController = RpNumber - Controller->FirstRootPort;
  *Function = (FunctionMap >> (4 * PortInController)) & B_PCIE_CONTROLLER_FUNCTION_NUMBER;
  return EFI_SUCCESS;
}

}  // extern "C"
