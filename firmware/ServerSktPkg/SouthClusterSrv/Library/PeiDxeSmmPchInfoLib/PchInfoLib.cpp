// PCH identity from the LPC bridge. A supported answer is cached for the module's life, since the
// lane lookups ask for the series once per port.

#include <Library/DebugLib.h>
#include <Library/IoLib.h>
#include <Library/PchInfoLib.h>
#include <Library/PciExpressLib.h>
#include <Register/PchRegsLpc.h>

#define SOURCE_FILE "ServerSktPkg/SouthClusterSrv/Library/PeiDxeSmmPchInfoLib/PchInfoLib"

extern "C" {

PchStepping CachedPchStepping = PchSteppingMax;
PchSeries CachedPchSeries = PchUnknownSeries;

BOOLEAN EFIAPI IsPchHDeviceId(UINT16 DeviceId) {
  return (DeviceId >= 0xA140 && DeviceId <= 0xA150) && DeviceId != 0xA14C;
}

BOOLEAN EFIAPI IsPchLpDeviceId(UINT16 DeviceId) {
  switch (DeviceId) {
    case 0x9D40:
    case 0x9D41:
    case 0x9D42:
    case 0x9D43:
    case 0x9D46:
    case 0x9D48:
      return TRUE;
    default:
      return FALSE;
  }
}

BOOLEAN EFIAPI IsPchSrvDeviceId(UINT16 DeviceId) {
  return (DeviceId >= 0xA1C0 && DeviceId <= 0xA1CF) || (DeviceId >= 0xA240 && DeviceId <= 0xA24F);
}

PchStepping EFIAPI GetPchStepping() {
  if (CachedPchStepping != PchSteppingMax) {
    return CachedPchStepping;
  }

  UINTN LpcBase =
      GetPciCfgBase(PCI_BUS_NUMBER_PCH, PCI_DEVICE_NUMBER_PCH_LPC, PCI_FUNCTION_NUMBER_PCH_LPC);
  UINT8 RevisionId = *(volatile UINT8 *)(LpcBase + R_LPC_CFG_REVISION_ID);
  UINT16 DeviceId = MmioRead16(LpcBase + R_LPC_CFG_DEVICE_ID);

  PchStepping Stepping = PchSteppingMax;
  if (IsPchHDeviceId(DeviceId)) {
    switch (RevisionId) {
      case 0x00:
        Stepping = PchHA0;
        break;
      case 0x10:
        Stepping = PchHA0 + 1;
        break;
      case 0x20:
        Stepping = PchHA0 + 2;
        break;
      case 0x30:
        Stepping = PchHA0 + 3;
        break;
      case 0x31:
        Stepping = PchHA0 + 4;
        break;
      default:
        DebugPrint(DEBUG_ERROR,
                   "Unsupported PCH Stepping. Supporting PCH stepping starting from %a and above\n",
                   "PchHA0");
        return PchSteppingMax;
    }
  } else if (IsPchLpDeviceId(DeviceId)) {
    switch (RevisionId) {
      case 0x10:
        Stepping = PchLpB0;
        break;
      case 0x11:
        Stepping = PchLpB0 + 1;
        break;
      case 0x20:
        Stepping = PchLpB0 + 2;
        break;
      case 0x21:
        Stepping = PchLpB0 + 3;
        break;
      default:
        DebugPrint(DEBUG_ERROR,
                   "Unsupported PCH Stepping. Supporting PCH stepping starting from %a and above\n",
                   "PchLpB0");
        return PchSteppingMax;
    }
  } else if (IsPchSrvDeviceId(DeviceId)) {
    switch (RevisionId) {
      case 0x00:
        Stepping = PchSrvA0;
        break;
      case 0x02:
        Stepping = PchSrvA0 + 1;
        break;
      case 0x03:
        Stepping = PchSrvA0 + 2;
        break;
      case 0x04:
        Stepping = PchSrvA0 + 3;
        break;
      case 0x08:
        Stepping = PchSrvA0 + 4;
        break;
      case 0x09:
        Stepping = PchSrvA0 + 5;
        break;
      default:
        DebugPrint(DEBUG_ERROR,
                   "Unsupported PCH Stepping. Supporting PCH stepping starting from %s and above\n",
                   "PchSrvA0");
        ASSERT_UNREACHABLE_AT(SOURCE_FILE, 167);
        return PchSteppingMax;
    }
  } else {
    return PchSteppingMax;
  }

  // Design decision: server steppings are cached like the others; the hardware gives the same
  // answer on every read, so only the number of identity reads changes.
  CachedPchStepping = Stepping;
  return Stepping;
}

PchSeries EFIAPI GetPchSeries() {
  if (CachedPchSeries != PchUnknownSeries) {
    return CachedPchSeries;
  }

  UINTN LpcBase =
      GetPciCfgBase(PCI_BUS_NUMBER_PCH, PCI_DEVICE_NUMBER_PCH_LPC, PCI_FUNCTION_NUMBER_PCH_LPC);
  UINT16 DeviceId = MmioRead16(LpcBase + R_LPC_CFG_DEVICE_ID);

  PchSeries Series;
  if (IsPchSrvDeviceId(DeviceId)) {
    Series = PchH;
  } else if (IsPchLpDeviceId(DeviceId)) {
    Series = PchLp;
  } else {
    DebugPrint(DEBUG_ERROR, "Unsupported PCH SKU, LpcDeviceId: 0x%04x!\n", (UINT32)DeviceId);
    ASSERT_UNREACHABLE_AT(SOURCE_FILE, 252);
    Series = PchUnknownSeries;
  }
  // The unknown series is also the cache's initial value, so an unsupported part is read and
  // reported again on every call.
  CachedPchSeries = Series;
  return Series;
}

UINT8 EFIAPI GetPchPcieRpCount() {
  switch (GetPchSeries()) {
    case PchH:
      return 20;
    case PchLp:
      return 12;
    default:
      return 0;
  }
}

UINT8 EFIAPI GetPchSataPortCount() {
  switch (GetPchSeries()) {
    case PchH:
      return 8;
    case PchLp:
      return 3;
    default:
      return 0;
  }
}

UINT8 EFIAPI GetPchSecondarySataPortCount() { return 6; }

}  // extern "C"
