// The fixed on-disk layouts this library reads and writes: the PE/COFF headers of an IA32
// image (Microsoft PE/COFF), the TE header (PI 1.x volume 1), and the firmware volume and
// firmware file system records (PI 1.x volume 3). All fields are little-endian.
//
// The records document and pin each layout; readers and writers reach the fields through
// offsetof() and the little-endian helpers of bytes.h, never by copying a record over bytes,
// so host byte order and padding never enter the files.
#pragma once

#include <cstddef>
#include <cstdint>

namespace peiboard::layout {

// ---- PE/COFF ------------------------------------------------------------------------------

inline constexpr uint16_t kDosMagic = 0x5A4D;         // "MZ"
inline constexpr size_t kDosHeaderSize = 64;          // e_lfanew is its last field
inline constexpr size_t kDosNewHeaderOffset = 0x3C;   // e_lfanew
inline constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"

struct CoffFileHeader {
  uint16_t machine;
  uint16_t number_of_sections;
  uint32_t time_date_stamp;
  uint32_t pointer_to_symbol_table;
  uint32_t number_of_symbols;
  uint16_t size_of_optional_header;
  uint16_t characteristics;
};
static_assert(sizeof(CoffFileHeader) == 20);
static_assert(offsetof(CoffFileHeader, number_of_sections) == 2);
static_assert(offsetof(CoffFileHeader, size_of_optional_header) == 16);
static_assert(offsetof(CoffFileHeader, characteristics) == 18);
inline constexpr uint16_t kFileRelocsStripped = 0x0001;

// The PE32 optional header up to its data directories.
struct OptionalHeader32 {
  uint16_t magic;
  uint8_t major_linker_version;
  uint8_t minor_linker_version;
  uint32_t size_of_code;
  uint32_t size_of_initialized_data;
  uint32_t size_of_uninitialized_data;
  uint32_t address_of_entry_point;
  uint32_t base_of_code;
  uint32_t base_of_data;
  uint32_t image_base;
  uint32_t section_alignment;
  uint32_t file_alignment;
  uint16_t major_os_version;
  uint16_t minor_os_version;
  uint16_t major_image_version;
  uint16_t minor_image_version;
  uint16_t major_subsystem_version;
  uint16_t minor_subsystem_version;
  uint32_t win32_version_value;
  uint32_t size_of_image;
  uint32_t size_of_headers;
  uint32_t check_sum;
  uint16_t subsystem;
  uint16_t dll_characteristics;
  uint32_t size_of_stack_reserve;
  uint32_t size_of_stack_commit;
  uint32_t size_of_heap_reserve;
  uint32_t size_of_heap_commit;
  uint32_t loader_flags;
  uint32_t number_of_rva_and_sizes;
};
static_assert(sizeof(OptionalHeader32) == 96);
static_assert(offsetof(OptionalHeader32, address_of_entry_point) == 16);
static_assert(offsetof(OptionalHeader32, base_of_code) == 20);
static_assert(offsetof(OptionalHeader32, image_base) == 28);
static_assert(offsetof(OptionalHeader32, section_alignment) == 32);
static_assert(offsetof(OptionalHeader32, size_of_image) == 56);
static_assert(offsetof(OptionalHeader32, size_of_headers) == 60);
static_assert(offsetof(OptionalHeader32, subsystem) == 68);
static_assert(offsetof(OptionalHeader32, number_of_rva_and_sizes) == 92);

struct DataDirectory {
  uint32_t virtual_address;
  uint32_t size;
};
static_assert(sizeof(DataDirectory) == 8);
inline constexpr uint32_t kDirectoryImport = 1;
inline constexpr uint32_t kDirectoryBaseRelocation = 5;
inline constexpr uint32_t kDirectoryDebug = 6;

struct SectionHeader {
  char name[8];
  uint32_t virtual_size;
  uint32_t virtual_address;
  uint32_t size_of_raw_data;
  uint32_t pointer_to_raw_data;
  uint32_t pointer_to_relocations;
  uint32_t pointer_to_linenumbers;
  uint16_t number_of_relocations;
  uint16_t number_of_linenumbers;
  uint32_t characteristics;
};
static_assert(sizeof(SectionHeader) == 40);
static_assert(offsetof(SectionHeader, virtual_size) == 8);
static_assert(offsetof(SectionHeader, virtual_address) == 12);
static_assert(offsetof(SectionHeader, size_of_raw_data) == 16);
static_assert(offsetof(SectionHeader, pointer_to_raw_data) == 20);
static_assert(offsetof(SectionHeader, characteristics) == 36);

// One block of the base relocation directory: a 4 KiB page and its 16-bit entries
// (type in bits 12-15, offset in the page in bits 0-11).
struct BaseRelocationBlock {
  uint32_t page_rva;
  uint32_t block_size;  // header included
};
static_assert(sizeof(BaseRelocationBlock) == 8);
inline constexpr uint16_t kRelocAbsolute = 0;  // padding, no fix-up
inline constexpr uint16_t kRelocHigh = 1;      // add the high 16 bits of the delta to a word
inline constexpr uint16_t kRelocLow = 2;       // add the low 16 bits of the delta to a word
inline constexpr uint16_t kRelocHighLow = 3;   // add the delta to a 32-bit address

struct DebugDirectoryEntry {
  uint32_t characteristics;
  uint32_t time_date_stamp;
  uint16_t major_version;
  uint16_t minor_version;
  uint32_t type;
  uint32_t size_of_data;
  uint32_t address_of_raw_data;  // RVA
  uint32_t pointer_to_raw_data;  // file offset
};
static_assert(sizeof(DebugDirectoryEntry) == 28);
static_assert(offsetof(DebugDirectoryEntry, pointer_to_raw_data) == 24);

// ---- TE (terse executable) ---------------------------------------------------------------

inline constexpr uint16_t kTeSignature = 0x5A56;  // "VZ"

// Replaces the DOS, PE signature, COFF and optional headers; the section table follows it.
// An RVA x lies at TE file offset x - (stripped_size - sizeof(TeHeader)).
struct TeHeader {
  uint16_t signature;
  uint16_t machine;
  uint8_t number_of_sections;
  uint8_t subsystem;
  uint16_t stripped_size;
  uint32_t address_of_entry_point;
  uint32_t base_of_code;
  uint64_t image_base;
  DataDirectory base_relocation;
  DataDirectory debug;
};
static_assert(sizeof(TeHeader) == 40);
static_assert(offsetof(TeHeader, number_of_sections) == 4);
static_assert(offsetof(TeHeader, subsystem) == 5);
static_assert(offsetof(TeHeader, stripped_size) == 6);
static_assert(offsetof(TeHeader, address_of_entry_point) == 8);
static_assert(offsetof(TeHeader, base_of_code) == 12);
static_assert(offsetof(TeHeader, image_base) == 16);
static_assert(offsetof(TeHeader, base_relocation) == 24);
static_assert(offsetof(TeHeader, debug) == 32);

// ---- Firmware file system sections ---------------------------------------------------------

struct CommonSectionHeader {
  uint8_t size[3];  // header included; 0xFFFFFF means an extended size follows (not used here)
  uint8_t type;
};
static_assert(sizeof(CommonSectionHeader) == 4);
static_assert(offsetof(CommonSectionHeader, type) == 3);
inline constexpr size_t kSectionAlignment = 4;

inline constexpr uint8_t kSectionCompression = 0x01;
inline constexpr uint8_t kSectionGuidDefined = 0x02;
inline constexpr uint8_t kSectionPe32 = 0x10;
inline constexpr uint8_t kSectionTe = 0x12;
inline constexpr uint8_t kSectionVersion = 0x14;
inline constexpr uint8_t kSectionUserInterface = 0x15;
inline constexpr uint8_t kSectionRaw = 0x19;
inline constexpr uint8_t kSectionPeiDepex = 0x1B;

// The version section's body: a build number, then a NUL-terminated UCS-2 string.
inline constexpr size_t kVersionBuildNumberSize = 2;

// PEI dependency expression opcodes (postfix).
inline constexpr uint8_t kDepexPush = 0x02;
inline constexpr uint8_t kDepexAnd = 0x03;
inline constexpr uint8_t kDepexOr = 0x04;
inline constexpr uint8_t kDepexNot = 0x05;
inline constexpr uint8_t kDepexTrue = 0x06;
inline constexpr uint8_t kDepexFalse = 0x07;
inline constexpr uint8_t kDepexEnd = 0x08;

// ---- Firmware file system files -------------------------------------------------------------

struct FfsFileHeader {
  uint8_t name[16];
  uint8_t header_checksum;  // IntegrityCheck.Checksum.Header
  uint8_t file_checksum;    // IntegrityCheck.Checksum.File
  uint8_t type;
  uint8_t attributes;
  uint8_t size[3];  // header included
  uint8_t state;
};
static_assert(sizeof(FfsFileHeader) == 24);
static_assert(offsetof(FfsFileHeader, header_checksum) == 16);
static_assert(offsetof(FfsFileHeader, file_checksum) == 17);
static_assert(offsetof(FfsFileHeader, type) == 18);
static_assert(offsetof(FfsFileHeader, attributes) == 19);
static_assert(offsetof(FfsFileHeader, size) == 20);
static_assert(offsetof(FfsFileHeader, state) == 23);
inline constexpr size_t kFileAlignment = 8;  // files start 8-byte aligned in a volume

inline constexpr uint8_t kFileTypeRaw = 0x01;
inline constexpr uint8_t kFileTypeFreeform = 0x02;
inline constexpr uint8_t kFileTypeSecurityCore = 0x03;
inline constexpr uint8_t kFileTypePeiCore = 0x04;
inline constexpr uint8_t kFileTypeDxeCore = 0x05;
inline constexpr uint8_t kFileTypePeim = 0x06;
inline constexpr uint8_t kFileTypeDriver = 0x07;
inline constexpr uint8_t kFileTypePad = 0xF0;

inline constexpr uint8_t kFileAttribLargeFile = 0x01;
inline constexpr uint8_t kFileAttribFixed = 0x04;
inline constexpr uint8_t kFileAttribDataAlignmentMask = 0x38;
inline constexpr uint8_t kFileAttribChecksum = 0x40;
inline constexpr uint8_t kFileChecksumNotUsed = 0xAA;  // file checksum byte without 0x40

// State bits as set on a volume of erase polarity 0; complemented on polarity 1.
inline constexpr uint8_t kFileHeaderConstruction = 0x01;
inline constexpr uint8_t kFileHeaderValid = 0x02;
inline constexpr uint8_t kFileDataValid = 0x04;
inline constexpr uint8_t kFileMarkedForUpdate = 0x08;
inline constexpr uint8_t kFileDeleted = 0x10;
inline constexpr uint8_t kFileHeaderInvalid = 0x20;

// ---- Firmware volume ------------------------------------------------------------------------

inline constexpr uint32_t kVolumeSignature = 0x4856465F;  // "_FVH"

struct VolumeHeader {
  uint8_t zero_vector[16];
  uint8_t file_system_guid[16];
  uint64_t fv_length;
  uint32_t signature;
  uint32_t attributes;
  uint16_t header_length;
  uint16_t checksum;
  uint16_t ext_header_offset;
  uint8_t reserved;
  uint8_t revision;
  // The block map follows: BlockMapEntry records ended by a zero one.
};
static_assert(sizeof(VolumeHeader) == 56);
static_assert(offsetof(VolumeHeader, file_system_guid) == 16);
static_assert(offsetof(VolumeHeader, fv_length) == 32);
static_assert(offsetof(VolumeHeader, signature) == 40);
static_assert(offsetof(VolumeHeader, attributes) == 44);
static_assert(offsetof(VolumeHeader, header_length) == 48);
static_assert(offsetof(VolumeHeader, checksum) == 50);
static_assert(offsetof(VolumeHeader, ext_header_offset) == 52);
static_assert(offsetof(VolumeHeader, revision) == 55);

struct BlockMapEntry {
  uint32_t num_blocks;
  uint32_t length;
};
static_assert(sizeof(BlockMapEntry) == 8);

// Optional, where ext_header_offset points: the volume's name and this record's size.
struct VolumeExtHeader {
  uint8_t fv_name[16];
  uint32_t ext_header_size;
};
static_assert(sizeof(VolumeExtHeader) == 20);
static_assert(offsetof(VolumeExtHeader, ext_header_size) == 16);

inline constexpr uint8_t kVolumeRevision = 2;
inline constexpr uint32_t kVolumeErasePolarity = 0x00000800;  // EFI_FVB2_ERASE_POLARITY
// Read/write capable and enabled, memory mapped, sticky write, locks, erase polarity 1,
// 16-byte volume alignment.
inline constexpr uint32_t kVolumeAttributes = 0x0004FEFF;
static_assert(kVolumeAttributes & kVolumeErasePolarity);

}  // namespace peiboard::layout
