#include "ffs.h"

#include <algorithm>

#include "bytes.h"
#include "format.h"
#include "layouts.h"

namespace peiboard {
namespace {

using layout::CommonSectionHeader;
using layout::FfsFileHeader;
using layout::VolumeHeader;

constexpr uint32_t kMaxSize24 = 0xFFFFFF;

bool has(std::span<const uint8_t> bytes, uint64_t offset, uint64_t size) {
  return offset <= bytes.size() && size <= bytes.size() - offset;
}

uint32_t get24(std::span<const uint8_t> bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16;
}
void put24(std::span<uint8_t> bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 3; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A NUL-terminated UCS-2 string; code units beyond ASCII show as '?'.
Expected<std::string> from_ucs2(std::span<const uint8_t> bytes) {
  std::string text;
  for (size_t at = 0; at + 1 < bytes.size(); at += 2) {
    const uint16_t unit = get16(bytes, at);
    if (unit == 0) return text;
    text.push_back(unit < 0x80 && unit >= 0x20 ? static_cast<char>(unit) : '?');
  }
  return Error{"the string has no NUL terminator"};
}

// The 8-bit sum of a file header with the state and the file checksum taken as zero.
uint8_t header_sum(std::span<const uint8_t> header) {
  return static_cast<uint8_t>(sum8(header) - header[offsetof(FfsFileHeader, state)] -
                              header[offsetof(FfsFileHeader, file_checksum)]);
}

uint8_t valid_state_byte(bool erase_polarity) {
  const uint8_t bits =
      layout::kFileHeaderConstruction | layout::kFileHeaderValid | layout::kFileDataValid;
  return erase_polarity ? static_cast<uint8_t>(~bits) : bits;
}

}  // namespace

uint8_t sum8(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  return sum;
}

uint16_t sum16(std::span<const uint8_t> bytes) {
  uint16_t sum = 0;
  for (size_t at = 0; at < bytes.size(); at += 2) {
    const uint16_t word = at + 1 < bytes.size() ? get16(bytes, at) : bytes[at];
    sum = static_cast<uint16_t>(sum + word);
  }
  return sum;
}

// ---- Dependency expressions -----------------------------------------------------------------

std::vector<uint8_t> encode_depex(std::span<const DepexOp> ops) {
  std::vector<uint8_t> bytes;
  for (const auto& op : ops) {
    bytes.push_back(op.opcode);
    if (op.opcode == layout::kDepexPush) bytes.insert(bytes.end(), op.guid.begin(), op.guid.end());
  }
  return bytes;
}

Expected<std::vector<DepexOp>> decode_depex(std::span<const uint8_t> bytes) {
  std::vector<DepexOp> ops;
  size_t depth = 0;
  size_t at = 0;
  auto fault = [&](const std::string& why) {
    return Error{"dependency expression, offset " + std::to_string(at) + ": " + why};
  };
  while (at < bytes.size()) {
    DepexOp op{bytes[at], {}};
    size_t operands = 0;
    switch (op.opcode) {
      case layout::kDepexPush:
        if (!has(bytes, at + 1, op.guid.size())) return fault("PUSH without a whole GUID");
        op.guid = guid_at(bytes, at + 1);
        break;
      case layout::kDepexTrue:
      case layout::kDepexFalse:
        break;
      case layout::kDepexNot:
        operands = 1;
        break;
      case layout::kDepexAnd:
      case layout::kDepexOr:
        operands = 2;
        break;
      case layout::kDepexEnd:
        if (depth != 1) {
          return fault("END leaves " + std::to_string(depth) + " values instead of one");
        }
        if (at + 1 != bytes.size()) {
          return fault(std::to_string(bytes.size() - at - 1) + " bytes after END");
        }
        ops.push_back(op);
        return ops;
      default:
        return fault("opcode " + hex(op.opcode, 2) + " is not a PEI dependency opcode");
    }
    if (depth < operands) return fault("an operator without its operands");
    depth = depth - operands + 1;
    at += op.opcode == layout::kDepexPush ? 1 + op.guid.size() : 1;
    ops.push_back(op);
  }
  return fault("no END");
}

std::string depex_text(std::span<const DepexOp> ops) {
  std::string text;
  for (const auto& op : ops) {
    if (!text.empty()) text += ' ';
    switch (op.opcode) {
      case layout::kDepexPush:
        text += "PUSH " + guid_text(op.guid);
        if (op.guid == kPcdPpiGuid) text += " (PCD PPI)";
        break;
      case layout::kDepexAnd:
        text += "AND";
        break;
      case layout::kDepexOr:
        text += "OR";
        break;
      case layout::kDepexNot:
        text += "NOT";
        break;
      case layout::kDepexTrue:
        text += "TRUE";
        break;
      case layout::kDepexFalse:
        text += "FALSE";
        break;
      case layout::kDepexEnd:
        text += "END";
        break;
      default:
        text += hex(op.opcode, 2);
    }
  }
  return text;
}

DepexVerdict evaluate_depex(std::span<const DepexOp> ops,
                            const std::function<bool(const Guid&)>& installed) {
  DepexVerdict verdict;
  std::vector<bool> stack;
  auto pop = [&stack]() -> std::optional<bool> {
    if (stack.empty()) return std::nullopt;
    const bool top = stack.back();
    stack.pop_back();
    return top;
  };
  for (const auto& op : ops) {
    switch (op.opcode) {
      case layout::kDepexPush: {
        const bool there = installed(op.guid);
        if (!there && std::find(verdict.missing.begin(), verdict.missing.end(), op.guid) ==
                          verdict.missing.end()) {
          verdict.missing.push_back(op.guid);
        }
        stack.push_back(there);
        break;
      }
      case layout::kDepexTrue:
      case layout::kDepexFalse:
        stack.push_back(op.opcode == layout::kDepexTrue);
        break;
      case layout::kDepexNot: {
        const auto a = pop();
        if (!a) return verdict;
        stack.push_back(!*a);
        break;
      }
      case layout::kDepexAnd:
      case layout::kDepexOr: {
        const auto a = pop(), b = pop();
        if (!a || !b) return verdict;
        stack.push_back(op.opcode == layout::kDepexAnd ? *a && *b : *a || *b);
        break;
      }
      case layout::kDepexEnd:
        verdict.holds = stack.size() == 1 && stack.back();
        return verdict;
      default:
        return verdict;
    }
  }
  return verdict;  // no END
}

// ---- Sections -------------------------------------------------------------------------------

Expected<std::vector<uint8_t>> make_section(uint8_t type, std::span<const uint8_t> body) {
  const uint64_t size = sizeof(CommonSectionHeader) + body.size();
  if (size >= kMaxSize24) {
    return Error{"a " + section_type_name(type) + " section of " + std::to_string(size) +
                 " bytes needs an extended size"};
  }
  std::vector<uint8_t> section(sizeof(CommonSectionHeader));
  put24(section, offsetof(CommonSectionHeader, size), static_cast<uint32_t>(size));
  section[offsetof(CommonSectionHeader, type)] = type;
  section.insert(section.end(), body.begin(), body.end());
  return section;
}

std::vector<uint8_t> ucs2_text(std::string_view ascii) {
  std::vector<uint8_t> bytes;
  for (char c : ascii) append_le(bytes, static_cast<uint16_t>(static_cast<unsigned char>(c)));
  append_le(bytes, uint16_t{0});
  return bytes;
}

std::vector<uint8_t> version_body(uint16_t build_number, std::string_view version) {
  std::vector<uint8_t> body;
  append_le(body, build_number);
  const auto text = ucs2_text(version);
  body.insert(body.end(), text.begin(), text.end());
  return body;
}

std::string section_type_name(uint8_t type) {
  switch (type) {
    case layout::kSectionCompression:
      return "COMPRESSION";
    case layout::kSectionGuidDefined:
      return "GUID_DEFINED";
    case layout::kSectionPe32:
      return "PE32";
    case layout::kSectionTe:
      return "TE";
    case layout::kSectionVersion:
      return "VERSION";
    case layout::kSectionUserInterface:
      return "USER_INTERFACE";
    case layout::kSectionRaw:
      return "RAW";
    case layout::kSectionPeiDepex:
      return "PEI_DEPEX";
    default:
      return "type " + hex(type, 2);
  }
}

// ---- Files ----------------------------------------------------------------------------------

std::string file_type_name(uint8_t type) {
  switch (type) {
    case layout::kFileTypeRaw:
      return "RAW";
    case layout::kFileTypeFreeform:
      return "FREEFORM";
    case layout::kFileTypeSecurityCore:
      return "SECURITY_CORE";
    case layout::kFileTypePeiCore:
      return "PEI_CORE";
    case layout::kFileTypeDxeCore:
      return "DXE_CORE";
    case layout::kFileTypePeim:
      return "PEIM";
    case layout::kFileTypeDriver:
      return "DRIVER";
    case layout::kFileTypePad:
      return "PAD";
    default:
      return "type " + hex(type, 2);
  }
}

bool FfsFile::data_checksummed() const { return attributes & layout::kFileAttribChecksum; }

bool FfsFile::valid_state() const {
  const uint8_t bits = erase_polarity ? static_cast<uint8_t>(~state) : state;
  const uint8_t needed =
      layout::kFileHeaderConstruction | layout::kFileHeaderValid | layout::kFileDataValid;
  return (bits & needed) == needed &&
         (bits & (layout::kFileDeleted | layout::kFileHeaderInvalid)) == 0;
}

std::string FfsFile::state_text() const {
  const uint8_t bits = erase_polarity ? static_cast<uint8_t>(~state) : state;
  if (bits & layout::kFileHeaderInvalid) return "header invalid";
  if (bits & layout::kFileDeleted) return "deleted";
  if (!valid_state()) return "under construction";
  return bits & layout::kFileMarkedForUpdate ? "valid, marked for update" : "valid";
}

Expected<std::vector<uint8_t>> make_ffs_file(const Guid& name, uint8_t type, uint8_t attributes,
                                             std::span<const std::vector<uint8_t>> sections,
                                             bool erase_polarity) {
  if (attributes & layout::kFileAttribLargeFile) return Error{"large files are not written"};
  std::vector<uint8_t> file(sizeof(FfsFileHeader), 0);
  for (const auto& section : sections) {
    file.resize(align_up(file.size(), layout::kSectionAlignment), 0);
    file.insert(file.end(), section.begin(), section.end());
  }
  if (file.size() > kMaxSize24) {
    return Error{"a file of " + std::to_string(file.size()) + " bytes needs the large-file form"};
  }
  std::copy(name.begin(), name.end(), file.begin());
  file[offsetof(FfsFileHeader, type)] = type;
  file[offsetof(FfsFileHeader, attributes)] = attributes;
  put24(file, offsetof(FfsFileHeader, size), static_cast<uint32_t>(file.size()));
  const std::span<const uint8_t> header(file.data(), sizeof(FfsFileHeader));
  file[offsetof(FfsFileHeader, header_checksum)] = static_cast<uint8_t>(-header_sum(header));
  const std::span<const uint8_t> data(file.begin() + sizeof(FfsFileHeader), file.end());
  file[offsetof(FfsFileHeader, file_checksum)] = (attributes & layout::kFileAttribChecksum)
                                                     ? static_cast<uint8_t>(-sum8(data))
                                                     : layout::kFileChecksumNotUsed;
  file[offsetof(FfsFileHeader, state)] = valid_state_byte(erase_polarity);
  return file;
}

Expected<FfsFile> parse_ffs_file(std::span<const uint8_t> container, uint32_t offset,
                                 bool erase_polarity) {
  const std::string where = "file at " + hex(offset);
  if (!has(container, offset, sizeof(FfsFileHeader))) {
    return Error{where + ": truncated header (" +
                 std::to_string(container.size() - std::min<size_t>(offset, container.size())) +
                 " of " + std::to_string(sizeof(FfsFileHeader)) + " bytes)"};
  }
  const auto header = container.subspan(offset, sizeof(FfsFileHeader));
  FfsFile file;
  file.name = guid_at(header, 0);
  file.offset = offset;
  file.erase_polarity = erase_polarity;
  file.type = header[offsetof(FfsFileHeader, type)];
  file.attributes = header[offsetof(FfsFileHeader, attributes)];
  file.size = get24(header, offsetof(FfsFileHeader, size));
  file.state = header[offsetof(FfsFileHeader, state)];
  file.header_checksum = header[offsetof(FfsFileHeader, header_checksum)];
  file.file_checksum = header[offsetof(FfsFileHeader, file_checksum)];
  const std::string named = where + " (" + guid_text(file.name) + ")";
  if (file.attributes & layout::kFileAttribLargeFile) {
    return Error{named + ": large files (FFS3) are not read"};
  }
  if (file.size < sizeof(FfsFileHeader)) {
    return Error{named + ": size " + std::to_string(file.size) + " is smaller than its header"};
  }
  if (!has(container, offset, file.size)) {
    return Error{named + ": size " + std::to_string(file.size) + " runs past the " +
                 std::to_string(container.size() - offset) + " bytes left"};
  }
  if (const uint8_t sum = header_sum(header); sum != 0) {
    return Error{named + ": header checksum " + hex(file.header_checksum, 2) +
                 " is wrong (the header sums to " + hex(sum, 2) + ")"};
  }
  const auto data =
      container.subspan(offset + sizeof(FfsFileHeader), file.size - sizeof(FfsFileHeader));
  if (file.data_checksummed()) {
    if (const uint8_t sum = static_cast<uint8_t>(sum8(data) + file.file_checksum); sum != 0) {
      return Error{named + ": data checksum " + hex(file.file_checksum, 2) +
                   " is wrong (data and checksum sum to " + hex(sum, 2) + ")"};
    }
  } else if (file.file_checksum != layout::kFileChecksumNotUsed) {
    return Error{named + ": file checksum " + hex(file.file_checksum, 2) + " without attribute " +
                 hex(layout::kFileAttribChecksum, 2) + " must be " +
                 hex(layout::kFileChecksumNotUsed, 2)};
  }
  if (file.type == layout::kFileTypePad) return file;  // a pad file's data is not sections

  // Sections, 4-byte aligned from the start of the file.
  const auto bytes = container.subspan(offset, file.size);
  uint64_t at = sizeof(FfsFileHeader);
  while (true) {
    at = align_up(at, layout::kSectionAlignment);
    if (at >= file.size || file.size - at < sizeof(CommonSectionHeader)) break;
    FfsSection section{bytes[at + offsetof(CommonSectionHeader, type)], static_cast<uint32_t>(at),
                       get24(bytes, at)};
    const std::string in = named + ", section at file offset " + hex(at);
    if (section.size == kMaxSize24) return Error{in + ": extended section sizes are not read"};
    if (section.size < sizeof(CommonSectionHeader)) {
      return Error{in + ": size " + std::to_string(section.size) + " is smaller than its header"};
    }
    if (section.size > file.size - at) {
      return Error{in + ": size " + std::to_string(section.size) + " runs past the " +
                   std::to_string(file.size - at) + " bytes left in the file"};
    }
    const auto body =
        bytes.subspan(at + sizeof(CommonSectionHeader), section.size - sizeof(CommonSectionHeader));
    auto once = [&](bool seen) -> Expected<void> {
      if (seen) return Error{in + ": a second " + section_type_name(section.type) + " section"};
      return {};
    };
    switch (section.type) {
      case layout::kSectionPeiDepex: {
        if (auto o = once(file.depex.has_value()); !o) return o.error();
        auto depex = decode_depex(body);
        if (!depex) return Error{in + ": " + depex.error().message};
        file.depex = std::move(*depex);
        break;
      }
      case layout::kSectionUserInterface: {
        if (auto o = once(file.ui_name.has_value()); !o) return o.error();
        auto name = from_ucs2(body);
        if (!name) return Error{in + ": user interface name: " + name.error().message};
        file.ui_name = std::move(*name);
        break;
      }
      case layout::kSectionVersion: {
        if (auto o = once(file.version.has_value()); !o) return o.error();
        if (body.size() < layout::kVersionBuildNumberSize) {
          return Error{in + ": version section without a build number"};
        }
        auto text = from_ucs2(body.subspan(layout::kVersionBuildNumberSize));
        if (!text) return Error{in + ": version: " + text.error().message};
        file.build_number = get16(body, 0);
        file.version = std::move(*text);
        break;
      }
      case layout::kSectionPe32:
      case layout::kSectionTe:
        if (file.image) return Error{in + ": a second image section"};
        file.image = section;
        break;
      default:
        break;
    }
    file.sections.push_back(section);
    at += section.size;
  }
  return file;
}

Expected<FfsFile> parse_ffs_file(std::span<const uint8_t> file) {
  if (!has(file, 0, sizeof(FfsFileHeader))) return parse_ffs_file(file, 0, true);
  // A valid file's state reads "constructed, header and data valid" under one polarity only.
  const uint8_t state = file[offsetof(FfsFileHeader, state)];
  return parse_ffs_file(file, 0, (state & 0x80) != 0);
}

// ---- Volumes --------------------------------------------------------------------------------

bool Volume::erase_polarity() const { return attributes & layout::kVolumeErasePolarity; }

Expected<std::vector<uint8_t>> make_volume(uint32_t size, uint32_t block_size,
                                           std::span<const std::vector<uint8_t>> files) {
  if (block_size == 0 || size == 0 || size % block_size != 0) {
    return Error{"volume size " + hex(size) + " is not a whole number of " + hex(block_size) +
                 "-byte blocks"};
  }
  std::vector<uint8_t> volume(kVolumeHeaderLength, 0);
  static_assert(kVolumeHeaderLength == sizeof(VolumeHeader) + 2 * sizeof(layout::BlockMapEntry));
  std::copy(kFfs2FileSystemGuid.begin(), kFfs2FileSystemGuid.end(),
            volume.begin() + offsetof(VolumeHeader, file_system_guid));
  put64(volume, offsetof(VolumeHeader, fv_length), size);
  put32(volume, offsetof(VolumeHeader, signature), layout::kVolumeSignature);
  put32(volume, offsetof(VolumeHeader, attributes), layout::kVolumeAttributes);
  put16(volume, offsetof(VolumeHeader, header_length), kVolumeHeaderLength);
  volume[offsetof(VolumeHeader, revision)] = layout::kVolumeRevision;
  put32(volume, sizeof(VolumeHeader), size / block_size);
  put32(volume, sizeof(VolumeHeader) + 4, block_size);
  put16(volume, offsetof(VolumeHeader, checksum),
        static_cast<uint16_t>(-sum16({volume.data(), kVolumeHeaderLength})));
  constexpr uint8_t kErased = 0xFF;
  for (const auto& file : files) {
    volume.resize(align_up(volume.size(), layout::kFileAlignment), kErased);
    volume.insert(volume.end(), file.begin(), file.end());
  }
  if (volume.size() > size) {
    return Error{"the files need " + std::to_string(volume.size()) + " bytes, the volume has " +
                 std::to_string(size)};
  }
  volume.resize(size, kErased);
  return volume;
}

namespace {

// The fixed header: signature, length, header length and checksum, revision, file system.
Expected<void> read_volume_header(std::span<const uint8_t> bytes, Volume& volume) {
  if (!has(bytes, 0, sizeof(VolumeHeader)) ||
      get32(bytes, offsetof(VolumeHeader, signature)) != layout::kVolumeSignature) {
    return Error{"not a firmware volume (no _FVH signature at offset 40)"};
  }
  volume.file_system = guid_at(bytes, offsetof(VolumeHeader, file_system_guid));
  volume.length = get64(bytes, offsetof(VolumeHeader, fv_length));
  volume.attributes = get32(bytes, offsetof(VolumeHeader, attributes));
  volume.header_length = get16(bytes, offsetof(VolumeHeader, header_length));
  volume.checksum = get16(bytes, offsetof(VolumeHeader, checksum));
  volume.ext_header_offset = get16(bytes, offsetof(VolumeHeader, ext_header_offset));
  volume.revision = bytes[offsetof(VolumeHeader, revision)];
  if (volume.length > bytes.size() || volume.length > 0xFFFFFFFFu) {
    return Error{"volume length " + hex(volume.length) + " runs past the " +
                 std::to_string(bytes.size()) + " bytes given"};
  }
  if (volume.header_length < sizeof(VolumeHeader) + sizeof(layout::BlockMapEntry) ||
      volume.header_length % 2 != 0 || volume.header_length > volume.length) {
    return Error{"header length " + std::to_string(volume.header_length) +
                 " is odd, too short for a block map, or longer than the volume"};
  }
  if (const uint16_t sum = sum16(bytes.subspan(0, volume.header_length)); sum != 0) {
    return Error{"header checksum " + hex(volume.checksum, 4) + " is wrong (the header sums to " +
                 hex(sum, 4) + ")"};
  }
  if (volume.revision != layout::kVolumeRevision) {
    return Error{"header revision " + std::to_string(volume.revision) + " is not 2"};
  }
  if (volume.file_system == kFfs3FileSystemGuid) return Error{"FFS3 volumes are not read"};
  if (volume.file_system != kFfs2FileSystemGuid) {
    return Error{"file system " + guid_text(volume.file_system) + " is not FFS2"};
  }
  return {};
}

// The block map after the fixed header: it must end in a zero entry inside the header and
// cover the volume's length exactly.
Expected<void> read_block_map(std::span<const uint8_t> bytes, Volume& volume) {
  uint64_t mapped = 0;
  for (size_t at = sizeof(VolumeHeader);; at += sizeof(layout::BlockMapEntry)) {
    if (at + sizeof(layout::BlockMapEntry) > volume.header_length) {
      return Error{"the block map has no terminating zero entry inside the header"};
    }
    const BlockMap entry{get32(bytes, at), get32(bytes, at + 4)};
    if (entry.num_blocks == 0 && entry.length == 0) break;
    if (entry.num_blocks == 0 || entry.length == 0) {
      return Error{"block map entry at " + hex(at) + " has a zero count or length"};
    }
    // Each entry's blocks must fit in what the volume has left: a sum checked only at the
    // end could wrap past 2^64 and come back equal to the length.
    const uint64_t blocks = uint64_t{entry.num_blocks} * entry.length;
    if (blocks > volume.length - mapped) {
      return Error{"block map entry at " + hex(at) + " (" + std::to_string(entry.num_blocks) +
                   " blocks of " + hex(entry.length) + ") runs past the volume's " +
                   hex(volume.length) + " bytes"};
    }
    mapped += blocks;
    volume.block_map.push_back(entry);
  }
  if (mapped != volume.length) {
    return Error{"the block map covers " + hex(mapped) + " bytes, the volume is " +
                 hex(volume.length)};
  }
  return {};
}

// Where the files start: after the header, or after the extension header when there is one.
Expected<uint64_t> files_start(std::span<const uint8_t> volume_bytes, const Volume& volume) {
  if (volume.ext_header_offset == 0) return uint64_t{volume.header_length};
  const uint64_t ext = volume.ext_header_offset;
  if (ext < volume.header_length || !has(volume_bytes, ext, sizeof(layout::VolumeExtHeader))) {
    return Error{"extension header offset " + hex(ext) + " lies outside the volume's data"};
  }
  const uint32_t ext_size =
      get32(volume_bytes, ext + offsetof(layout::VolumeExtHeader, ext_header_size));
  if (ext_size < sizeof(layout::VolumeExtHeader) || !has(volume_bytes, ext, ext_size)) {
    return Error{"extension header at " + hex(ext) + ": size " + std::to_string(ext_size) +
                 " is too small or runs past the volume"};
  }
  return ext + ext_size;
}

// The files from `at` on, up to free space that must be erased to the volume's end.
Expected<void> read_files(std::span<const uint8_t> volume_bytes, uint64_t at, Volume& volume) {
  const uint8_t erased = volume.erase_polarity() ? 0xFF : 0x00;
  while (true) {
    at = align_up(at, layout::kFileAlignment);
    if (at >= volume.length) break;
    const auto rest = volume_bytes.subspan(static_cast<size_t>(at));
    const size_t header = std::min(rest.size(), sizeof(FfsFileHeader));
    if (std::all_of(rest.begin(), rest.begin() + header, [&](uint8_t b) { return b == erased; })) {
      // Free space: erased to the end.
      const auto dirty =
          std::find_if(rest.begin(), rest.end(), [&](uint8_t b) { return b != erased; });
      if (dirty != rest.end()) {
        return Error{"byte " + hex(*dirty, 2) + " at " + hex(at + (dirty - rest.begin())) +
                     " in the free space is not erased (" + hex(erased, 2) + ")"};
      }
      break;
    }
    auto file = parse_ffs_file(volume_bytes, static_cast<uint32_t>(at), volume.erase_polarity());
    if (!file) return file.error();
    at += file->size;
    volume.files.push_back(std::move(*file));
  }
  volume.free_space_offset = std::min(at, volume.length);
  return {};
}

}  // namespace

Expected<Volume> parse_volume(std::span<const uint8_t> bytes) {
  Volume volume;
  if (auto header = read_volume_header(bytes, volume); !header) return header.error();
  const auto volume_bytes = bytes.subspan(0, static_cast<size_t>(volume.length));
  if (auto map = read_block_map(bytes, volume); !map) return map.error();
  auto start = files_start(volume_bytes, volume);
  if (!start) return start.error();
  if (auto files = read_files(volume_bytes, *start, volume); !files) return files.error();
  return volume;
}

}  // namespace peiboard
