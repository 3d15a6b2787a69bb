// The PI firmware file system (PI 1.x volume 3): sections, files, FFS2 firmware volumes and
// PEI dependency expressions, written and read. Readers check every size, offset and checksum
// against the bytes they are given and fail with the offset of what is wrong.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "expected.h"
#include "guid.h"

namespace peiboard {

inline constexpr Guid kFfs2FileSystemGuid = guid_constant("8C8CE578-8A3D-4F1C-9935-896185C32DD3");
inline constexpr Guid kFfs3FileSystemGuid = guid_constant("5473C07A-3DCB-4DCA-BD6F-1E9689E7349A");
// The PCD PPI, which the module's entry point reads its PCDs through.
inline constexpr Guid kPcdPpiGuid = guid_constant("06E81C58-4AD7-44BC-8390-F10265F72480");

// 8-bit and 16-bit (little-endian words) sums, the base of every checksum here.
uint8_t sum8(std::span<const uint8_t> bytes);
uint16_t sum16(std::span<const uint8_t> bytes);  // an odd trailing byte counts as a low byte

// ---- PEI dependency expressions -------------------------------------------------------------

struct DepexOp {
  uint8_t opcode = 0;  // layout::kDepex*
  Guid guid{};         // for PUSH
  bool operator==(const DepexOp&) const = default;
};

std::vector<uint8_t> encode_depex(std::span<const DepexOp> ops);
// Decodes and evaluates the shape: every operator has its operands, END is last and leaves
// exactly one value. Fails naming the offset of the first fault.
Expected<std::vector<DepexOp>> decode_depex(std::span<const uint8_t> bytes);
// Postfix, as stored: "PUSH 06E81C58-... (PCD PPI) END".
std::string depex_text(std::span<const DepexOp> ops);

// What a PEI dispatcher concludes from a decoded expression over the PPIs installed.
struct DepexVerdict {
  bool holds = false;
  std::vector<Guid> missing;  // the GUIDs it pushes that are not installed, once each, in order
};
// Evaluates `ops` (as decode_depex gives them) with `installed` telling whether a PPI is in
// the database. A malformed expression does not hold.
DepexVerdict evaluate_depex(std::span<const DepexOp> ops,
                            const std::function<bool(const Guid&)>& installed);

// ---- Sections -------------------------------------------------------------------------------

// A section: 4-byte header (24-bit size, type) and `body`. Fails when it outgrows 24 bits.
Expected<std::vector<uint8_t>> make_section(uint8_t type, std::span<const uint8_t> body);
// NUL-terminated UCS-2 of an ASCII text.
std::vector<uint8_t> ucs2_text(std::string_view ascii);
std::vector<uint8_t> version_body(uint16_t build_number, std::string_view version);
std::string section_type_name(uint8_t type);

struct FfsSection {
  uint8_t type = 0;
  uint32_t offset = 0;  // of the section header, from the start of the file
  uint32_t size = 0;    // header included
};

// ---- Files ----------------------------------------------------------------------------------

struct FfsFile {
  Guid name{};
  uint8_t type = 0;
  uint8_t attributes = 0;
  uint32_t size = 0;    // header included
  uint32_t offset = 0;  // in the volume (0 for a file on its own)
  uint8_t state = 0;    // as stored
  uint8_t header_checksum = 0;
  uint8_t file_checksum = 0;
  bool erase_polarity = true;
  std::vector<FfsSection> sections;
  std::optional<std::vector<DepexOp>> depex;
  std::optional<std::string> ui_name;
  std::optional<uint16_t> build_number;
  std::optional<std::string> version;
  std::optional<FfsSection> image;  // the PE32 or TE section

  bool data_checksummed() const;
  // Header valid and data valid, neither deleted nor marked invalid.
  bool valid_state() const;
  std::string state_text() const;
};

std::string file_type_name(uint8_t type);

// A file of `type` holding `sections` (each from make_section) in order, 4-byte aligned,
// with both checksums set (the data checksum when `attributes` has layout::kFileAttribChecksum)
// and the state of a valid file on a volume of the given erase polarity.
Expected<std::vector<uint8_t>> make_ffs_file(const Guid& name, uint8_t type, uint8_t attributes,
                                             std::span<const std::vector<uint8_t>> sections,
                                             bool erase_polarity = true);

// Reads the file whose header starts at `offset` of `container` (a volume, or the file
// alone): sizes, both checksums, its sections and the ones it can decode (dependency
// expression, name, version, image). `erase_polarity` is how its state byte reads.
Expected<FfsFile> parse_ffs_file(std::span<const uint8_t> container, uint32_t offset,
                                 bool erase_polarity);
// A file on its own, whose erase polarity its state byte tells.
Expected<FfsFile> parse_ffs_file(std::span<const uint8_t> file);

// ---- Volumes --------------------------------------------------------------------------------

struct BlockMap {
  uint32_t num_blocks = 0;
  uint32_t length = 0;
};

struct Volume {
  Guid file_system{};
  uint64_t length = 0;
  uint32_t attributes = 0;
  uint16_t header_length = 0;
  uint16_t checksum = 0;
  uint16_t ext_header_offset = 0;
  uint8_t revision = 0;
  std::vector<BlockMap> block_map;
  std::vector<FfsFile> files;
  uint64_t free_space_offset = 0;  // where the erased space after the last file starts
  bool erase_polarity() const;
};

// An FFS2 volume of `size` bytes in blocks of `block_size`, holding `files` (each from
// make_ffs_file) in order, 8-byte aligned; gaps and free space are erased (0xFF); the header
// checksum is set.
Expected<std::vector<uint8_t>> make_volume(uint32_t size, uint32_t block_size,
                                           std::span<const std::vector<uint8_t>> files);

// Reads the volume at the start of `bytes`: header, checksum, block map, every file (their
// checksums included) and the free space after them. Bytes past the volume's length are not
// read.
Expected<Volume> parse_volume(std::span<const uint8_t> bytes);

// The header make_volume writes: the fixed part, one block-map entry and the terminating
// zero entry. The first file starts right after it.
inline constexpr uint32_t kVolumeHeaderLength = 72;

}  // namespace peiboard
