// HECI PPI: message transport to ME clients. The module calls only the first service.
#pragma once

#include <Uefi/UefiTypes.h>

#define HECI1_DEVICE 0

// Sends Length bytes of Message to ME client MeAddress from host client HostAddress over HECI
// function HeciDevice and waits for the reply, which overwrites Message. On entry *ReplyLength
// is the room for the reply; the service may update it with the reply length.
typedef EFI_STATUS(EFIAPI *HECI_SEND_WITH_ACK)(UINT32 HeciDevice, UINT32 *Message, UINT32 Length,
                                               UINT32 *ReplyLength, UINT8 HostAddress,
                                               UINT8 MeAddress);

struct HeciPpi {
  HECI_SEND_WITH_ACK SendWithAck;
  // Further services follow; this module does not use them.
};
static_assert(OFFSET_OF(HeciPpi, SendWithAck) == 0);

extern "C" const EFI_GUID gHeciPpiGuid;
