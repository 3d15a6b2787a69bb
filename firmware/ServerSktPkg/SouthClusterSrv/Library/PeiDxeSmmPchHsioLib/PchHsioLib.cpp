// HSIO lane ownership of the SATA, sSATA and PCIe ports, and the clocking mode that the PCH
// soft strap selects.
//
// Lane layouts (port index to HSIO lane):
//   SATA, LP series:  0 -> 10, 1 -> 11 (or 14 when 11 is not SATA), 2 -> 15
//   SATA, otherwise:  port + 18, ports 0 to 7
//   sSATA, any:       port + 12, ports 0 to 5
//   PCIe, LP series:  root port + 4, root ports 0 to 11
//   PCIe, otherwise:  root port + 6, root ports 0 to 19

#include <Library/DebugLib.h>
#include <Library/PchHsioLib.h>
#include <Library/PchInfoLib.h>
#include <Library/PchPcrLib.h>
#include <Library/PeiServicesTablePointerLib.h>
#include <Ppi/Spi.h>
#include <Register/PchRegsPcr.h>

#define SOURCE_FILE "ServerSktPkg/SouthClusterSrv/Library/PeiDxeSmmPchHsioLib/PchHsioLib"

extern "C" {

const EFI_GUID gSpiPpiGuid = {
    0xFBF26154, 0x4E55, 0x4BDC, {0xAF, 0x7B, 0xD9, 0x18, 0xAC, 0x44, 0x3F, 0x61}};

UINT32 EFIAPI GetHsioLaneOwner(const UINT32 *OwnerRegisters, UINT8 Lane) {
  UINT32 Register = OwnerRegisters[Lane / HSIO_LANES_PER_OWNER_REGISTER];
  return (Register >> (4 * (Lane % HSIO_LANES_PER_OWNER_REGISTER))) & HSIO_LANE_OWNER_CODE_MASK;
}

// Reads lane-owner register Index into Owners[Index]; the offset is constant and aligned, so the
// status needs no check.
VOID EFIAPI ReadHsioLaneOwner(UINT32 *Owners, UINT32 Index) {
  PchPcrRead(PID_HSIO_LANE_OWNER, (UINT16)R_HSIO_LANE_OWNER(Index), &Owners[Index]);
}

EFI_STATUS EFIAPI GetPchSataPortLane(UINT32 SataPort, UINT8 *Lane) {
  UINT32 Owners[HSIO_LANE_OWNER_REGISTERS] = {0, 0, 0, 0};
  PchSeries Series = GetPchSeries();
  ReadHsioLaneOwner(Owners, 2);
  ReadHsioLaneOwner(Owners, 1);

  UINT8 SataLane;
  if (Series == PchLp) {
    switch (SataPort) {
      case 0:
        SataLane = 10;
        break;
      case 1:
        // The second port is strapped to lane 11 or lane 14; the one SATA owns is in use.
        SataLane = GetHsioLaneOwner(Owners, 11) == V_HSIO_LANE_OWNER_SATA ? 11 : 14;
        break;
      case 2:
        SataLane = 15;
        break;
      default:
        DebugPrint(DEBUG_ERROR, "Unsupported SATA Lane Index");
        ASSERT_UNREACHABLE_AT(SOURCE_FILE, 581);
        return EFI_UNSUPPORTED;
    }
  } else {
    ReadHsioLaneOwner(Owners, 3);
    if (SataPort > 7) {
      DebugPrint(DEBUG_ERROR, "Unsupported SATA Lane Index");
      ASSERT_UNREACHABLE_AT(SOURCE_FILE, 639);
      return EFI_UNSUPPORTED;
    }
    SataLane = (UINT8)(SataPort + 18);
  }

  if (GetHsioLaneOwner(Owners, SataLane) != V_HSIO_LANE_OWNER_SATA) {
    DebugPrint(DEBUG_ERROR, "Specyfied Lane Index is not owned by SATA!\n");
    return EFI_UNSUPPORTED;
  }
  *Lane = SataLane;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetPchSecondarySataPortLane(UINT32 SataPort, UINT8 *Lane) {
  UINT32 Owners[HSIO_LANE_OWNER_REGISTERS] = {0, 0, 0, 0};
  ReadHsioLaneOwner(Owners, 2);
  ReadHsioLaneOwner(Owners, 1);

  if (SataPort > 5) {
    DebugPrint(DEBUG_ERROR, "Unsupported secondary SATA Lane Index");
    ASSERT_UNREACHABLE_AT(SOURCE_FILE, 709);
    return EFI_UNSUPPORTED;
  }
  UINT8 SataLane = (UINT8)(SataPort + 12);
  if (GetHsioLaneOwner(Owners, SataLane) != V_HSIO_LANE_OWNER_SATA) {
    return EFI_UNSUPPORTED;
  }
  *Lane = SataLane;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetPchPcieRpLane(UINT32 RootPort, UINT8 *Lane) {
  UINT32 Owners[HSIO_LANE_OWNER_REGISTERS] = {0, 0, 0, 0};
  PchSeries Series = GetPchSeries();
  ReadHsioLaneOwner(Owners, 0);
  ReadHsioLaneOwner(Owners, 1);

  UINT8 PcieLane;
  if (Series == PchLp) {
    if (RootPort > 11) {
      DebugPrint(DEBUG_ERROR, "Unsupported PCIE Root Port Lane Index");
      ASSERT_UNREACHABLE_AT(SOURCE_FILE, 819);
      return EFI_UNSUPPORTED;
    }
    PcieLane = (UINT8)(RootPort + 4);
  } else {
    ReadHsioLaneOwner(Owners, 2);
    ReadHsioLaneOwner(Owners, 3);
    if (RootPort > 19) {
      DebugPrint(DEBUG_ERROR, "Unsupported PCIE Root Port Lane Index\n");
      ASSERT_UNREACHABLE_AT(SOURCE_FILE, 950);
      return EFI_UNSUPPORTED;
    }
    PcieLane = (UINT8)(RootPort + 6);
  }

  if (GetHsioLaneOwner(Owners, PcieLane) != V_HSIO_LANE_OWNER_PCIE) {
    return EFI_UNSUPPORTED;
  }
  *Lane = PcieLane;
  return EFI_SUCCESS;
}

UINT32 EFIAPI GetClockingMode() {
  UINT32 Result = RAW_CLOCKING_MODE_INTERNAL_STANDARD;

  const EFI_PEI_SERVICES **PeiServices = GetPeiServicesTablePointer();
  SpiPpi *Spi = NULL;
  EFI_STATUS Status = (*PeiServices)->LocatePpi(PeiServices, &gSpiPpiGuid, 0, NULL, (VOID **)&Spi);
  // Design decision: a locate that succeeds without an interface found no PPI either.
  if (!EFI_ERROR(Status) && Spi != NULL) {
    UINT32 SoftStrap = 0;
    Status =
        Spi->ReadPchSoftStrap(Spi, PCH_SOFT_STRAP_CLOCKING_OFFSET, sizeof(SoftStrap), &SoftStrap);
    if (!EFI_ERROR(Status)) {
      DebugPrint(DEBUG_INFO, "(Hsio) GetClockingMode() SPI SoftStrap read = 0x%x", SoftStrap);
      UINT32 Choice = SoftStrap & B_PCH_SOFT_STRAP_CLOCKING_CHOICE;
      DebugPrint(DEBUG_INFO, " (0x%x)\n", Choice);
      switch (Choice) {
        case 0:
          // The first server stepping runs the standard internal mode; later ones need the
          // mode that the raw code 0x10 names.
          if (GetPchStepping() != PchSrvA0) {
            Result = RAW_CLOCKING_MODE_CODE_10;
          }
          break;
        case 2:
          Result = RAW_CLOCKING_MODE_EXTERNAL;
          break;
        default:
          DebugPrint(DEBUG_WARN,
                     "(Hsio) GetClockingMode() Warning: unsupported clocking mode choice, assuming "
                     "internal\n");
          break;
      }
    }
  }

  DebugPrint(DEBUG_INFO, "(Hsio) GetClockingMode() returns %s",
             Result == RAW_CLOCKING_MODE_INTERNAL_STANDARD ? "InternalStandard" : "External");
  return Result;
}

}  // extern "C"
