// Status codes, GUIDs and the common table header, as UEFI 2.x defines them for IA32.
#pragma once

#include <Base.h>

typedef UINTN EFI_STATUS;
typedef UINT64 EFI_PHYSICAL_ADDRESS;
typedef UINT32 EFI_BOOT_MODE;
typedef UINT32 EFI_MEMORY_TYPE;
typedef UINT32 EFI_RESET_TYPE;
typedef UINT8 EFI_FV_FILETYPE;
typedef UINT8 EFI_SECTION_TYPE;
typedef UINT32 EFI_STATUS_CODE_TYPE;
typedef UINT32 EFI_STATUS_CODE_VALUE;
typedef VOID *EFI_PEI_FV_HANDLE;
typedef VOID *EFI_PEI_FILE_HANDLE;

// 128-bit identifier; Data1 to Data3 little-endian, Data4 in text order.
struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16);

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24);

#define EFI_ERROR_BIT 0x80000000u
#define ENCODE_ERROR(Code) ((EFI_STATUS)(EFI_ERROR_BIT | (Code)))

#define EFI_SUCCESS ((EFI_STATUS)0)
#define EFI_INVALID_PARAMETER ENCODE_ERROR(2)
#define EFI_UNSUPPORTED ENCODE_ERROR(3)
#define EFI_NOT_READY ENCODE_ERROR(6)
#define EFI_DEVICE_ERROR ENCODE_ERROR(7)
#define EFI_OUT_OF_RESOURCES ENCODE_ERROR(9)
#define EFI_NOT_FOUND ENCODE_ERROR(14)

static_assert(EFI_INVALID_PARAMETER == 0x80000002 && EFI_UNSUPPORTED == 0x80000003);
static_assert(EFI_NOT_READY == 0x80000006 && EFI_DEVICE_ERROR == 0x80000007);
static_assert(EFI_OUT_OF_RESOURCES == 0x80000009);

// An error status has its top bit set; warnings and success do not.
#define EFI_ERROR(Status) (((Status)&EFI_ERROR_BIT) != 0)
