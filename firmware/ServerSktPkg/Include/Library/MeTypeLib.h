// ME firmware type and the PCH clocking mode.
#pragma once

#include <Uefi/UefiTypes.h>

typedef UINT32 MeType;

enum : UINT32 {
  MeTypeNotRecognized = 0,
  MeTypeSps = 1,
  MeTypeCode2 = 2,
  MeTypeDfx = 15,
  MeTypeCode255 = 255,
};

typedef UINT32 ClockingMode;

enum : UINT32 {
  InternalStandard = 0,
  ClockingModeCode10 = 1,
  ClockingModeCode01 = 2,
  ClockingModeCode11 = 3,
  External = 4,
};

// ICC get-clocking-mode request, overwritten in place by the reply.
struct IccHeader {
  UINT32 FixedHeader;
  UINT32 IccCommand;
  UINT32 IccResponse;
  UINT32 BufferLength;  // bytes after this 20-byte header
  UINT32 Reserved;
};
static_assert(sizeof(IccHeader) == 20);

struct IccClockingModeMessage {
  IccHeader Header;
  UINT16 RequestFlags;
  UINT8 Reserved22;
  UINT8 ClockingMode;  // raw clocking-mode code in the reply
  UINT8 Reserved24[24];
};
static_assert(sizeof(IccClockingModeMessage) == 48);
static_assert(OFFSET_OF(IccClockingModeMessage, Header.IccCommand) == 4);
static_assert(OFFSET_OF(IccClockingModeMessage, Header.IccResponse) == 8);
static_assert(OFFSET_OF(IccClockingModeMessage, Header.BufferLength) == 12);
static_assert(OFFSET_OF(IccClockingModeMessage, Header.Reserved) == 16);
static_assert(OFFSET_OF(IccClockingModeMessage, RequestFlags) == 20);
static_assert(OFFSET_OF(IccClockingModeMessage, Reserved22) == 22);
static_assert(OFFSET_OF(IccClockingModeMessage, ClockingMode) == 23);

#define ICC_FIXED_HEADER 0x00040000u
#define ICC_GET_CLOCKING_MODE_CMD 0x1Au
#define ICC_CLOCKING_MODE_REQUEST_FLAGS 1
#define ICC_ME_CLIENT_ADDRESS 8
#define ICC_HOST_CLIENT_ADDRESS 0

// Raw clocking-mode codes the ME can report beyond the soft-strap ones.
#define RAW_CLOCKING_MODE_CODE_01 0x01
#define RAW_CLOCKING_MODE_CODE_11 0x11
#define RAW_CLOCKING_MODE_EXTERNAL_12 0x12

extern "C" {

// Configuration space address of the first HECI function (bus 0, device 22, function 0).
UINTN EFIAPI GetHeci1CfgBase();

// Classifies the ME firmware. Cannot fail: every problem folds into the returned type.
MeType EFIAPI GetOnBoardMeType();

// MEFS1 recorded in the ME firmware HOB for the first HECI function, or Default when the HOB is
// missing, names another function or records all ones.
UINT32 EFIAPI GetMeFs1FromHob(UINT32 Default);

// TRUE when the ME runs SPS firmware and the MEFS1 register's state field reads 2.
BOOLEAN EFIAPI IsSpsMeInStateTwo();

// Writes the PCH clocking mode to *Mode and returns EFI_SUCCESS. EFI_INVALID_PARAMETER for a
// null Mode, EFI_UNSUPPORTED for an unknown raw code, or the ME exchange's error; *Mode is
// written only on success.
EFI_STATUS EFIAPI PeiGetCurrenClockingMode(ClockingMode *Mode);

// Asks the ME's ICC service for the clocking mode; the reply is left in *Message, which the
// caller has zeroed. EFI_UNSUPPORTED unless the ME runs SPS firmware outside state 2,
// EFI_INVALID_PARAMETER for a null Message, EFI_DEVICE_ERROR for a missing HECI PPI or a bad
// reply, or the HECI service's own error.
EFI_STATUS EFIAPI SpsSetGetCurrenClockingMode(IccClockingModeMessage *Message);

}  // extern "C"
