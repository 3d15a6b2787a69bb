#include <Library/DebugLib.h>
#include <Library/IoLib.h>
#include <Library/PchPcrLib.h>
#include <Register/PchRegsPcr.h>

#define SOURCE_FILE "ServerSktPkg/SouthClusterSrv/Library/PeiDxeSmmPchPcrLib/PchPcrLib"

extern "C" {

EFI_STATUS EFIAPI PchPcrRead(UINT8 Port, UINT16 Offset, UINT32 *Data) {
  // Every PCR access is a whole, naturally aligned dword.
  if ((Offset & 3) != 0) {
    DebugPrint(DEBUG_ERROR, "PchPcrRead error. Invalid Offset: %x Size: %x", (UINT32)Offset,
               (UINT32)sizeof(UINT32));
    ASSERT_UNREACHABLE_AT(SOURCE_FILE, 57);
    return EFI_INVALID_PARAMETER;
  }
  *Data = MmioRead32(PCH_PCR_ADDRESS(Port, Offset));
  return EFI_SUCCESS;
}

}  // extern "C"
