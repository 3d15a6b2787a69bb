// PCH clocking mode: asked from the ME's ICC service when SPS firmware runs, otherwise (and when
// the ME is not ready) read from the PCH soft strap.

#include <Library/DebugLib.h>
#include <Library/MeTypeLib.h>
#include <Library/PchHsioLib.h>
#include <Library/PeiServicesTablePointerLib.h>
#include <Ppi/Heci.h>

extern "C" {

const EFI_GUID gHeciPpiGuid = {
    0xD14319E2, 0x407A, 0x9580, {0x8D, 0xE5, 0x51, 0xA8, 0xFF, 0xC6, 0xD7, 0xD7}};

EFI_STATUS EFIAPI SpsSetGetCurrenClockingMode(IccClockingModeMessage *Message) {
  EFI_STATUS Status = EFI_INVALID_PARAMETER;
  DebugPrint(DEBUG_INFO, "[ICC] SpsSetGetCurrenClockingMode\n");

  if (GetOnBoardMeType() != MeTypeSps || IsSpsMeInStateTwo()) {
    Status = EFI_UNSUPPORTED;
  } else if (Message != NULL) {
    const EFI_PEI_SERVICES **PeiServices = GetPeiServicesTablePointer();
    HeciPpi *Heci = NULL;
    Status = (*PeiServices)->LocatePpi(PeiServices, &gHeciPpiGuid, 0, NULL, (VOID **)&Heci);
    // Design decision: a locate that succeeds without an interface found no PPI either.
    if (EFI_ERROR(Status) || Heci == NULL) {
      Status = EFI_DEVICE_ERROR;
    } else {
      // The service may report a longer reply in ReplyLength; only the 48 bytes of Message are
      // ever read, and the length itself is not used.
      UINT32 ReplyLength = sizeof(IccClockingModeMessage);
      Message->Header.FixedHeader = ICC_FIXED_HEADER;
      Message->Header.IccCommand = ICC_GET_CLOCKING_MODE_CMD;
      Message->Header.IccResponse = 0;
      Message->Header.BufferLength = sizeof(IccClockingModeMessage) - sizeof(IccHeader);
      Message->Header.Reserved = 0;
      Message->RequestFlags = ICC_CLOCKING_MODE_REQUEST_FLAGS;
      Status = Heci->SendWithAck(HECI1_DEVICE, (UINT32 *)Message, sizeof(IccClockingModeMessage),
                                 &ReplyLength, ICC_HOST_CLIENT_ADDRESS, ICC_ME_CLIENT_ADDRESS);
      if (!EFI_ERROR(Status) && (Message->Header.IccCommand != ICC_GET_CLOCKING_MODE_CMD ||
                                 Message->Header.IccResponse != 0)) {
        DebugPrint(DEBUG_ERROR,
                   "(ICC) SpsSetGetCurrenClockingMode: Wrong response! IccHeader.IccResponse = "
                   "0x%x\n",
                   Message->Header.IccResponse);
        Status = EFI_DEVICE_ERROR;
      }
    }
  }

  DebugPrint(DEBUG_INFO, "[ICC] SpsSetGetCurrenClockingMode exit status = %r \n", Status);
  return Status;
}

EFI_STATUS EFIAPI PeiGetCurrenClockingMode(ClockingMode *Mode) {
  EFI_STATUS Status = EFI_INVALID_PARAMETER;
  const EFI_PEI_SERVICES **PeiServices = GetPeiServicesTablePointer();
  DebugPrint(DEBUG_INFO, "[ME] PeiGetCurrenClockingMode\n");

  if (Mode != NULL) {
    IccClockingModeMessage Message;
    (*PeiServices)->SetMem(&Message, sizeof(Message), 0);

    if (GetOnBoardMeType() == MeTypeSps && !IsSpsMeInStateTwo()) {
      DebugPrint(DEBUG_INFO, "[ME] PeiGetCurrenClockingMode: For SPS ME use Heci message\n");
      Status = SpsSetGetCurrenClockingMode(&Message);
    } else {
      DebugPrint(DEBUG_INFO, "[ME] PeiGetCurrenClockingMode: Non SPS ME detected\n");
      Status = EFI_NOT_READY;
    }

    if (Status == EFI_NOT_READY) {
      DebugPrint(DEBUG_INFO, "[ME] PeiGetCurrenClockingMode: Read clock mode from SoftStraps\n");
      Status = EFI_SUCCESS;
      Message.ClockingMode = (UINT8)GetClockingMode();
    }

    if (!EFI_ERROR(Status)) {
      switch (Message.ClockingMode) {
        case RAW_CLOCKING_MODE_INTERNAL_STANDARD:
          *Mode = InternalStandard;
          break;
        case RAW_CLOCKING_MODE_CODE_10:
          *Mode = ClockingModeCode10;
          break;
        case RAW_CLOCKING_MODE_CODE_01:
          *Mode = ClockingModeCode01;
          break;
        case RAW_CLOCKING_MODE_CODE_11:
          *Mode = ClockingModeCode11;
          break;
        case RAW_CLOCKING_MODE_EXTERNAL:
        case RAW_CLOCKING_MODE_EXTERNAL_12:
          *Mode = External;
          break;
        default:
          DebugPrint(DEBUG_ERROR, "(ME) PeiGetCurrenClockingMode: Unknown Clocking Mode = 0x%x\n",
                     (UINT32)Message.ClockingMode);
          Status = EFI_UNSUPPORTED;
          break;
      }
    }
  }

  DebugPrint(DEBUG_INFO, "[ME] PeiGetCurrenClockingMode exit status = %r \n", Status);
  return Status;
}

}  // extern "C"
