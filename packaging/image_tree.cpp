#include "image_tree.h"

#include <algorithm>

#include "bytes.h"
#include "ffs.h"
#include "format.h"
#include "guid.h"
#include "layouts.h"
#include "package.h"
#include "pe_image.h"

namespace peiboard {
namespace {

using layout::CommonSectionHeader;
using layout::FfsFileHeader;
using layout::VolumeHeader;

uint32_t get24(std::span<const uint8_t> bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16;
}

std::string file_system_name(const Guid& guid) {
  if (guid == kFfs2FileSystemGuid) return "FFS2";
  if (guid == kFfs3FileSystemGuid) return "FFS3";
  return "unknown file system";
}

// A NUL-terminated UCS-2 text; units outside printable ASCII show as '?'.
std::optional<std::string> ucs2(std::span<const uint8_t> bytes) {
  std::string text;
  for (size_t at = 0; at + 1 < bytes.size(); at += 2) {
    const uint16_t unit = get16(bytes, at);
    if (unit == 0) return text;
    text.push_back(unit < 0x80 && unit >= 0x20 ? static_cast<char>(unit) : '?');
  }
  return std::nullopt;
}

std::string access_text(uint32_t c) {
  std::string kind = (c & scn::kCode)                ? "code"
                     : (c & scn::kUninitializedData) ? "zeroed data"
                                                     : "data";
  kind += ", ";
  kind += (c & scn::kRead) ? 'r' : '-';
  kind += (c & scn::kWrite) ? 'w' : '-';
  kind += (c & scn::kExecute) ? 'x' : '-';
  return kind;
}

class Walker {
 public:
  explicit Walker(std::span<const uint8_t> input) : in_(input) {}

  Inspection run() {
    Inspection result;
    const auto b = in_;
    if (b.size() >= 2 &&
        (get16(b, 0) == layout::kDosMagic || get16(b, 0) == layout::kTeSignature)) {
      result.root = image(0, b.size());
      result.form = result.root.title;
      image_ = {0, b.size()};
    } else if (b.size() >= sizeof(VolumeHeader) &&
               get32(b, offsetof(VolumeHeader, signature)) == layout::kVolumeSignature) {
      result.form = "firmware volume";
      result.root = volume(0);
    } else if (b.size() >= sizeof(FfsFileHeader)) {
      result.form = "FFS file";
      // A file on its own: its state byte tells the erase polarity it was made for.
      const bool polarity = (b[offsetof(FfsFileHeader, state)] & 0x80) != 0;
      result.root = file(0, b.size(), polarity);
    } else {
      result.form = "unknown";
      result.root = {.kind = "input", .title = "unknown", .size = b.size()};
      result.root.problems.push_back({"size", std::to_string(b.size()) + " bytes",
                                      "a PE32 or TE image, an FFS file or a firmware volume"});
    }
    result.image = image_;
    return result;
  }

 private:
  // The firmware volume whose header starts at `at`.
  InspectNode volume(uint64_t at) {
    const auto b = in_.subspan(at);
    const Guid fs = guid_at(b, offsetof(VolumeHeader, file_system_guid));
    const uint64_t length = get64(b, offsetof(VolumeHeader, fv_length));
    const uint32_t attributes = get32(b, offsetof(VolumeHeader, attributes));
    const uint16_t header_length = get16(b, offsetof(VolumeHeader, header_length));
    const uint16_t checksum = get16(b, offsetof(VolumeHeader, checksum));
    const uint16_t ext = get16(b, offsetof(VolumeHeader, ext_header_offset));
    const uint8_t revision = b[offsetof(VolumeHeader, revision)];
    const bool polarity = attributes & layout::kVolumeErasePolarity;
    InspectNode node{.kind = "volume",
                     .title = guid_text(fs) + " " + file_system_name(fs),
                     .offset = at,
                     .size = std::min<uint64_t>(length, b.size())};
    node.fields = {
        {"file system", guid_text(fs) + " (" + file_system_name(fs) + ")"},
        {"length", hex(length)},
        {"attributes", hex(attributes, 8) + ", erase polarity " + (polarity ? "1" : "0")},
        {"header", std::to_string(header_length) + " bytes, revision " + std::to_string(revision)},
        {"checksum", hex(checksum, 4)}};
    auto& problems = node.problems;
    if (length > b.size()) {
      problems.push_back({"length", hex(length), "at most " + hex(b.size()) + ", the bytes there"});
    }
    if (revision != layout::kVolumeRevision) {
      problems.push_back({"revision", std::to_string(revision), "2"});
    }
    const size_t fixed = sizeof(VolumeHeader) + sizeof(layout::BlockMapEntry);
    if (header_length < fixed || header_length > node.size) {
      problems.push_back({"header length", std::to_string(header_length),
                          "from " + std::to_string(fixed) + " to the volume's length"});
      return node;
    }
    const auto header = b.first(header_length);
    if (const uint16_t sum = sum16(header); sum != 0) {
      problems.push_back({"checksum", hex(checksum, 4), hex(uint16_t(checksum - sum), 4)});
    }
    block_map(node, header, length);
    if (fs != kFfs2FileSystemGuid && fs != kFfs3FileSystemGuid) {
      problems.push_back({"file system", guid_text(fs),
                          guid_text(kFfs2FileSystemGuid) + " (FFS2) or " +
                              guid_text(kFfs3FileSystemGuid) + " (FFS3)"});
      return node;
    }
    uint64_t first = header_length;
    if (ext != 0) {
      const uint64_t ext_size =
          ext + sizeof(layout::VolumeExtHeader) <= node.size
              ? get32(b, ext + offsetof(layout::VolumeExtHeader, ext_header_size))
              : 0;
      InspectNode e{
          .kind = "extended header", .title = "volume name", .offset = at + ext, .size = ext_size};
      if (ext < header_length || ext_size < sizeof(layout::VolumeExtHeader) ||
          ext + ext_size > node.size) {
        e.problems.push_back({"offset and size", hex(ext) + ", " + hex(ext_size),
                              "a record inside the volume after its header"});
        node.children.push_back(std::move(e));
        return node;
      }
      e.title = guid_text(guid_at(b, ext));
      first = ext + ext_size;
      node.children.push_back(std::move(e));
    }
    files(node, at, first, polarity);
    return node;
  }

  // The block map in a volume's header, up to its zero entry: one field, and a problem when it
  // has no end or does not cover the volume's length.
  static void block_map(InspectNode& node, std::span<const uint8_t> header, uint64_t length) {
    std::string blocks;
    uint64_t covered = 0;
    bool ended = false;
    for (size_t e = sizeof(VolumeHeader); e + sizeof(layout::BlockMapEntry) <= header.size();
         e += sizeof(layout::BlockMapEntry)) {
      const uint32_t count = get32(header, e), block = get32(header, e + 4);
      if (count == 0 && block == 0) {
        ended = true;
        break;
      }
      blocks += (blocks.empty() ? "" : " + ") + std::to_string(count) + " x " + hex(block);
      covered += uint64_t{count} * block;
    }
    node.fields.emplace_back("blocks", blocks.empty() ? "none" : blocks);
    auto& problems = node.problems;
    if (!ended) problems.push_back({"block map", "no zero entry in the header", "a zero entry"});
    if (covered != length) problems.push_back({"block map", "covers " + hex(covered), hex(length)});
  }

  // The files of a volume from `first`, then its free space.
  void files(InspectNode& volume, uint64_t at, uint64_t first, bool polarity) {
    const auto v = in_.subspan(at, volume.size);
    const uint8_t erased = polarity ? 0xFF : 0x00;
    uint64_t off = align_up(first, layout::kFileAlignment);
    while (off + sizeof(FfsFileHeader) <= v.size()) {
      const auto head = v.subspan(off, sizeof(FfsFileHeader));
      if (std::all_of(head.begin(), head.end(), [&](uint8_t x) { return x == erased; })) break;
      const uint32_t size = get24(v, off + offsetof(FfsFileHeader, size));
      if (size < sizeof(FfsFileHeader) || off + size > v.size()) {
        InspectNode f = file_header(at + off, polarity);
        f.size = v.size() - off;
        f.problems.push_back({"size", hex(size),
                              "from " + hex(sizeof(FfsFileHeader)) + " to " + hex(v.size() - off) +
                                  ", the space left in the volume"});
        volume.children.push_back(std::move(f));
        return;  // where the next file starts is not known
      }
      volume.children.push_back(file(at + off, size, polarity));
      off = align_up(off + size, layout::kFileAlignment);
    }
    if (off >= v.size()) return;
    InspectNode free{
        .kind = "free space", .title = "erased", .offset = at + off, .size = v.size() - off};
    const auto rest = v.subspan(off);
    const auto dirty =
        std::find_if(rest.begin(), rest.end(), [&](uint8_t x) { return x != erased; });
    if (dirty != rest.end()) {
      free.problems.push_back(
          {"byte at " + hex(at + off + (dirty - rest.begin())), hex(*dirty, 2), hex(erased, 2)});
    }
    volume.children.push_back(std::move(free));
  }

  // The header fields of the file at `at`, without looking past its header.
  InspectNode file_header(uint64_t at, bool polarity) {
    const auto h = in_.subspan(at, sizeof(FfsFileHeader));
    const Guid name = guid_at(h, 0);
    const uint8_t type = h[offsetof(FfsFileHeader, type)];
    const uint8_t attributes = h[offsetof(FfsFileHeader, attributes)];
    const uint8_t state = h[offsetof(FfsFileHeader, state)];
    FfsFile described;
    described.state = state;
    described.erase_polarity = polarity;
    InspectNode node{.kind = "file",
                     .title = guid_text(name) + " " + file_type_name(type),
                     .offset = at,
                     .size = sizeof(FfsFileHeader)};
    node.fields = {{"name", guid_text(name)},
                   {"type", file_type_name(type) + " (" + hex(type, 2) + ")"},
                   {"attributes", hex(attributes, 2)},
                   {"state", hex(state, 2) + " (" + described.state_text() + ")"}};
    const uint8_t stored = h[offsetof(FfsFileHeader, header_checksum)];
    const auto sum =
        static_cast<uint8_t>(sum8(h) - state - h[offsetof(FfsFileHeader, file_checksum)]);
    node.fields.emplace_back("header checksum", hex(stored, 2));
    if (sum != 0) {
      node.problems.push_back({"header checksum", hex(stored, 2), hex(uint8_t(stored - sum), 2)});
    }
    return node;
  }

  // The file of `size` bytes at `at` (inside the input), its checksums and its sections.
  InspectNode file(uint64_t at, uint64_t size, bool polarity) {
    InspectNode node = file_header(at, polarity);
    const auto f = in_.subspan(at, size);
    const uint32_t stated = get24(f, offsetof(FfsFileHeader, size));
    node.size = size;
    if (stated != size) {
      node.problems.push_back({"size", hex(stated), hex(size) + ", the bytes of the file"});
      if (stated > size || stated < sizeof(FfsFileHeader)) return node;
    }
    const uint8_t type = f[offsetof(FfsFileHeader, type)];
    const uint8_t attributes = f[offsetof(FfsFileHeader, attributes)];
    const uint8_t stored = f[offsetof(FfsFileHeader, file_checksum)];
    const auto data = f.subspan(sizeof(FfsFileHeader), stated - sizeof(FfsFileHeader));
    const uint8_t should = (attributes & layout::kFileAttribChecksum)
                               ? static_cast<uint8_t>(0x100 - sum8(data))
                               : layout::kFileChecksumNotUsed;
    node.fields.emplace_back(
        "data checksum",
        hex(stored, 2) +
            ((attributes & layout::kFileAttribChecksum) ? "" : " (data not checksummed)"));
    if (stored != should)
      node.problems.push_back({"data checksum", hex(stored, 2), hex(should, 2)});
    if (attributes & layout::kFileAttribLargeFile) {
      node.problems.push_back({"attributes", hex(attributes, 2) + " (large file)",
                               "no large-file bit: a file of this volume has a 24-bit size"});
      return node;
    }
    if (type == layout::kFileTypeRaw || type == layout::kFileTypePad) return node;
    const Guid name = guid_at(f, 0);
    uint64_t off = sizeof(FfsFileHeader);
    while (off + sizeof(CommonSectionHeader) <= stated) {
      const uint32_t s = get24(f, off);
      if (s < sizeof(CommonSectionHeader) || off + s > stated) {
        InspectNode bad{.kind = "section",
                        .title = section_type_name(f[off + 3]),
                        .offset = at + off,
                        .size = stated - off};
        bad.problems.push_back(
            {"size", hex(s), "from 0x4 to " + hex(stated - off) + ", the space left in the file"});
        node.children.push_back(std::move(bad));
        return node;
      }
      node.children.push_back(section(at + off, s, name == kModuleFileGuid));
      off = align_up(off + s, layout::kSectionAlignment);
    }
    if (off < stated) {
      node.problems.push_back({"sections", hex(stated - off) + " bytes after the last section",
                               "no bytes after the last section"});
    }
    return node;
  }

  InspectNode section(uint64_t at, uint32_t size, bool module_file) {
    const auto s = in_.subspan(at, size);
    const uint8_t type = s[offsetof(CommonSectionHeader, type)];
    const auto body = s.subspan(sizeof(CommonSectionHeader));
    InspectNode node{
        .kind = "section", .title = section_type_name(type), .offset = at, .size = size};
    switch (type) {
      case layout::kSectionPe32:
      case layout::kSectionTe: {
        const bool te = type == layout::kSectionTe;
        if (body.size() < 2 || get16(body, 0) != (te ? layout::kTeSignature : layout::kDosMagic)) {
          node.problems.push_back({"image signature",
                                   body.size() < 2 ? "nothing" : hex(get16(body, 0), 4),
                                   te ? "0x5A56 (VZ)" : "0x5A4D (MZ)"});
          break;
        }
        const uint64_t image_at = at + sizeof(CommonSectionHeader);
        if (!image_ || (module_file && !module_image_)) {
          image_ = {image_at, body.size()};
          module_image_ = module_file;
        }
        node.children.push_back(image(image_at, body.size()));
        break;
      }
      case layout::kSectionPeiDepex: {
        auto ops = decode_depex(body);
        if (ops) {
          node.fields.emplace_back("expression", depex_text(*ops));
        } else {
          node.problems.push_back({"expression", ops.error().message, "a complete expression"});
        }
        break;
      }
      case layout::kSectionUserInterface: {
        auto text = ucs2(body);
        if (text) {
          node.fields.emplace_back("text", *text);
        } else {
          node.problems.push_back({"text", "no NUL terminator", "a NUL-terminated UCS-2 text"});
        }
        break;
      }
      case layout::kSectionVersion: {
        auto text = body.size() >= layout::kVersionBuildNumberSize
                        ? ucs2(body.subspan(layout::kVersionBuildNumberSize))
                        : std::nullopt;
        if (text) {
          node.fields.emplace_back("version", *text);
          node.fields.emplace_back("build", std::to_string(get16(body, 0)));
        } else {
          node.problems.push_back(
              {"version", "no NUL-terminated text", "a build number and a text"});
        }
        break;
      }
      case layout::kSectionCompression:
      case layout::kSectionGuidDefined:
        node.fields.emplace_back("contents", "encapsulated sections, not opened");
        break;
      default:
        break;
    }
    return node;
  }

  // The PE32 or TE image of `size` bytes at `at`.
  InspectNode image(uint64_t at, uint64_t size) {
    const auto bytes = in_.subspan(at, size);
    const bool te = get16(bytes, 0) == layout::kTeSignature;
    InspectNode node{
        .kind = "image", .title = te ? "TE image" : "PE32 image", .offset = at, .size = size};
    auto parsed = PeImage::parse(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    if (!parsed) {
      node.problems.push_back({"headers", parsed.error().message, "a well-formed image"});
      return node;
    }
    const PeImage& i = *parsed;
    node.fields.emplace_back("machine", i.machine() == PeImage::kMachineI386
                                            ? "i386"
                                            : "machine " + hex(i.machine(), 4));
    node.fields.emplace_back("subsystem", i.subsystem() == PeImage::kSubsystemEfiBootServiceDriver
                                              ? "EFI boot service driver"
                                              : std::to_string(i.subsystem()));
    node.fields.emplace_back("image base", hex(i.image_base(), 8));
    if (te) {
      node.fields.emplace_back("stripped", std::to_string(i.stripped_size()) + " bytes");
      // Where the TE header itself lies when the image runs: the base the loader adjusts to.
      node.fields.emplace_back("adjusted base", hex(uint64_t{i.image_base()} + i.file_rva(), 8));
    }
    node.fields.emplace_back("entry",
                             hex(i.entry_point(), 8) + " (RVA " + hex(i.entry_rva()) + ")");
    node.fields.emplace_back("size", hex(i.size_of_image()) + " in memory");
    auto relocations = i.relocations();
    if (relocations) {
      node.fields.emplace_back("relocations", std::to_string(relocations->size()) + " fix-ups");
    } else {
      node.problems.push_back({"relocations", relocations.error().message, "a readable table"});
    }
    for (const auto& s : i.sections()) {
      InspectNode child{.kind = "image section",
                        .title = s.name,
                        .offset = at + s.raw_offset,
                        .size = s.raw_size};
      child.fields = {{"address", hex(uint64_t{i.image_base()} + s.virtual_address, 8)},
                      {"memory size", hex(s.virtual_size)},
                      {"kind", access_text(s.characteristics)}};
      node.children.push_back(std::move(child));
    }
    return node;
  }

  std::span<const uint8_t> in_;
  std::optional<std::pair<uint64_t, uint64_t>> image_;
  bool module_image_ = false;
};

}  // namespace

bool InspectNode::broken() const {
  return !problems.empty() ||
         std::any_of(children.begin(), children.end(), [](const auto& c) { return c.broken(); });
}

Inspection inspect(std::span<const uint8_t> bytes) { return Walker(bytes).run(); }

}  // namespace peiboard
