// The PEI services table and the PPI descriptors as PI 1.x volume 1 lays them out for IA32. Every
// slot is listed in its defined order, so each service lands at its defined offset; the slots this
// module never calls keep their place with a generic type.
#pragma once

#include <Uefi/UefiTypes.h>

struct EFI_PEI_SERVICES;
struct EFI_PEI_PPI_DESCRIPTOR;
struct EFI_PEI_NOTIFY_DESCRIPTOR;

typedef EFI_STATUS(EFIAPI *EFI_PEI_INSTALL_PPI)(const EFI_PEI_SERVICES **PeiServices,
                                                const EFI_PEI_PPI_DESCRIPTOR *PpiList);
typedef EFI_STATUS(EFIAPI *EFI_PEI_REINSTALL_PPI)(const EFI_PEI_SERVICES **PeiServices,
                                                  const EFI_PEI_PPI_DESCRIPTOR *OldPpi,
                                                  const EFI_PEI_PPI_DESCRIPTOR *NewPpi);
// Finds instance Instance of the PPI named Guid. On success *Ppi (and *PpiDescriptor when that
// pointer is not null) receive the installed interface and descriptor.
typedef EFI_STATUS(EFIAPI *EFI_PEI_LOCATE_PPI)(const EFI_PEI_SERVICES **PeiServices,
                                               const EFI_GUID *Guid, UINTN Instance,
                                               EFI_PEI_PPI_DESCRIPTOR **PpiDescriptor, VOID **Ppi);
typedef EFI_STATUS(EFIAPI *EFI_PEI_NOTIFY_PPI)(const EFI_PEI_SERVICES **PeiServices,
                                               const EFI_PEI_NOTIFY_DESCRIPTOR *NotifyList);
typedef EFI_STATUS(EFIAPI *EFI_PEI_GET_BOOT_MODE)(const EFI_PEI_SERVICES **PeiServices,
                                                  EFI_BOOT_MODE *BootMode);
typedef EFI_STATUS(EFIAPI *EFI_PEI_SET_BOOT_MODE)(const EFI_PEI_SERVICES **PeiServices,
                                                  EFI_BOOT_MODE BootMode);
typedef EFI_STATUS(EFIAPI *EFI_PEI_GET_HOB_LIST)(const EFI_PEI_SERVICES **PeiServices,
                                                 VOID **HobList);
typedef EFI_STATUS(EFIAPI *EFI_PEI_CREATE_HOB)(const EFI_PEI_SERVICES **PeiServices, UINT16 Type,
                                               UINT16 Length, VOID **Hob);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_FIND_NEXT_VOLUME2)(const EFI_PEI_SERVICES **PeiServices,
                                                          UINTN Instance,
                                                          EFI_PEI_FV_HANDLE *VolumeHandle);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_FIND_NEXT_FILE2)(const EFI_PEI_SERVICES **PeiServices,
                                                        EFI_FV_FILETYPE SearchType,
                                                        EFI_PEI_FV_HANDLE VolumeHandle,
                                                        EFI_PEI_FILE_HANDLE *FileHandle);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_FIND_SECTION_DATA2)(const EFI_PEI_SERVICES **PeiServices,
                                                           EFI_SECTION_TYPE SectionType,
                                                           EFI_PEI_FILE_HANDLE FileHandle,
                                                           VOID **SectionData);
typedef EFI_STATUS(EFIAPI *EFI_PEI_INSTALL_PEI_MEMORY)(const EFI_PEI_SERVICES **PeiServices,
                                                       EFI_PHYSICAL_ADDRESS MemoryBegin,
                                                       UINT64 MemoryLength);
typedef EFI_STATUS(EFIAPI *EFI_PEI_ALLOCATE_PAGES)(const EFI_PEI_SERVICES **PeiServices,
                                                   EFI_MEMORY_TYPE MemoryType, UINTN Pages,
                                                   EFI_PHYSICAL_ADDRESS *Memory);
// Allocates Size bytes of pool that stays valid for the rest of PEI; there is no release.
typedef EFI_STATUS(EFIAPI *EFI_PEI_ALLOCATE_POOL)(const EFI_PEI_SERVICES **PeiServices, UINTN Size,
                                                  VOID **Buffer);
// The two memory services take no services pointer.
typedef VOID(EFIAPI *EFI_PEI_COPY_MEM)(VOID *Destination, VOID *Source, UINTN Length);
typedef VOID(EFIAPI *EFI_PEI_SET_MEM)(VOID *Buffer, UINTN Size, UINT8 Value);
typedef EFI_STATUS(EFIAPI *EFI_PEI_REPORT_STATUS_CODE)(const EFI_PEI_SERVICES **PeiServices,
                                                       EFI_STATUS_CODE_TYPE Type,
                                                       EFI_STATUS_CODE_VALUE Value, UINT32 Instance,
                                                       const EFI_GUID *CallerId, const VOID *Data);
typedef EFI_STATUS(EFIAPI *EFI_PEI_RESET_SYSTEM)(const EFI_PEI_SERVICES **PeiServices);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_FIND_BY_NAME)(const EFI_GUID *FileName,
                                                     EFI_PEI_FV_HANDLE VolumeHandle,
                                                     EFI_PEI_FILE_HANDLE *FileHandle);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_GET_FILE_INFO)(EFI_PEI_FILE_HANDLE FileHandle,
                                                      VOID *FileInfo);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_GET_VOLUME_INFO)(EFI_PEI_FV_HANDLE VolumeHandle,
                                                        VOID *VolumeInfo);
typedef EFI_STATUS(EFIAPI *EFI_PEI_REGISTER_FOR_SHADOW)(EFI_PEI_FILE_HANDLE FileHandle);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_FIND_SECTION_DATA3)(
    const EFI_PEI_SERVICES **PeiServices, EFI_SECTION_TYPE SectionType, UINTN SectionInstance,
    EFI_PEI_FILE_HANDLE FileHandle, VOID **SectionData, UINT32 *AuthenticationStatus);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_GET_FILE_INFO2)(EFI_PEI_FILE_HANDLE FileHandle,
                                                       VOID *FileInfo);
typedef VOID(EFIAPI *EFI_PEI_RESET2_SYSTEM)(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus,
                                            UINTN DataSize, VOID *ResetData);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FREE_PAGES)(const EFI_PEI_SERVICES **PeiServices,
                                               EFI_PHYSICAL_ADDRESS Memory, UINTN Pages);

struct EFI_PEI_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_PEI_INSTALL_PPI InstallPpi;
  EFI_PEI_REINSTALL_PPI ReInstallPpi;
  EFI_PEI_LOCATE_PPI LocatePpi;
  EFI_PEI_NOTIFY_PPI NotifyPpi;
  EFI_PEI_GET_BOOT_MODE GetBootMode;
  EFI_PEI_SET_BOOT_MODE SetBootMode;
  EFI_PEI_GET_HOB_LIST GetHobList;
  EFI_PEI_CREATE_HOB CreateHob;
  EFI_PEI_FFS_FIND_NEXT_VOLUME2 FfsFindNextVolume;
  EFI_PEI_FFS_FIND_NEXT_FILE2 FfsFindNextFile;
  EFI_PEI_FFS_FIND_SECTION_DATA2 FfsFindSectionData;
  EFI_PEI_INSTALL_PEI_MEMORY InstallPeiMemory;
  EFI_PEI_ALLOCATE_PAGES AllocatePages;
  EFI_PEI_ALLOCATE_POOL AllocatePool;
  EFI_PEI_COPY_MEM CopyMem;
  EFI_PEI_SET_MEM SetMem;
  EFI_PEI_REPORT_STATUS_CODE ReportStatusCode;
  EFI_PEI_RESET_SYSTEM ResetSystem;
  VOID *CpuIo;
  VOID *PciCfg;
  EFI_PEI_FFS_FIND_BY_NAME FfsFindFileByName;
  EFI_PEI_FFS_GET_FILE_INFO FfsGetFileInfo;
  EFI_PEI_FFS_GET_VOLUME_INFO FfsGetVolumeInfo;
  EFI_PEI_REGISTER_FOR_SHADOW RegisterForShadow;
  EFI_PEI_FFS_FIND_SECTION_DATA3 FindSectionData3;
  EFI_PEI_FFS_GET_FILE_INFO2 FfsGetFileInfo2;
  EFI_PEI_RESET2_SYSTEM ResetSystem2;
  EFI_PEI_FREE_PAGES FreePages;
};
static_assert(OFFSET_OF(EFI_PEI_SERVICES, InstallPpi) == 0x18);
static_assert(OFFSET_OF(EFI_PEI_SERVICES, ReInstallPpi) == 0x1C);
static_assert(OFFSET_OF(EFI_PEI_SERVICES, LocatePpi) == 0x20);
static_assert(OFFSET_OF(EFI_PEI_SERVICES, NotifyPpi) == 0x24);
static_assert(OFFSET_OF(EFI_PEI_SERVICES, GetHobList) == 0x30);
static_assert(OFFSET_OF(EFI_PEI_SERVICES, AllocatePool) == 0x4C);
static_assert(OFFSET_OF(EFI_PEI_SERVICES, SetMem) == 0x54);
static_assert(OFFSET_OF(EFI_PEI_SERVICES, FreePages) == 0x84);

#define EFI_PEI_PPI_DESCRIPTOR_PPI 0x00000010u
#define EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK 0x00000020u
#define EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST 0x80000000u

struct EFI_PEI_PPI_DESCRIPTOR {
  UINTN Flags;
  EFI_GUID *Guid;
  VOID *Ppi;
};
static_assert(sizeof(EFI_PEI_PPI_DESCRIPTOR) == 12);
static_assert(OFFSET_OF(EFI_PEI_PPI_DESCRIPTOR, Ppi) == 8);

typedef EFI_STATUS(EFIAPI *EFI_PEIM_NOTIFY_ENTRY_POINT)(EFI_PEI_SERVICES **PeiServices,
                                                        EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor,
                                                        VOID *Ppi);

struct EFI_PEI_NOTIFY_DESCRIPTOR {
  UINTN Flags;
  const EFI_GUID *Guid;
  EFI_PEIM_NOTIFY_ENTRY_POINT Notify;
};
static_assert(sizeof(EFI_PEI_NOTIFY_DESCRIPTOR) == 12);
static_assert(OFFSET_OF(EFI_PEI_NOTIFY_DESCRIPTOR, Notify) == 8);
