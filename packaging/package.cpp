#include "package.h"

#include "format.h"
#include "layouts.h"
#include "memory_map.h"

namespace peiboard {
namespace {

constexpr uint64_t kFourGiB = 0x100000000ull;

bool is_power_of_two(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace

std::vector<DepexOp> module_depex() {
  return {{layout::kDepexPush, kPcdPpiGuid}, {layout::kDepexEnd, {}}};
}

Expected<Package> pack_module(const PeImage& pe32, const PackOptions& options) {
  const uint64_t volume_end = uint64_t{options.volume_base} + options.volume_size;
  if (options.volume_base < ram::kFlashBase || volume_end > kFourGiB) {
    return Error{"a volume at " + hex(options.volume_base, 8) + " of " + hex(options.volume_size) +
                 " bytes leaves the flash window " + hex(ram::kFlashBase, 8) + "..0xFFFFFFFF"};
  }
  if (options.block_size == 0 || options.volume_base % options.block_size != 0) {
    return Error{"the volume base " + hex(options.volume_base, 8) + " is not on a " +
                 hex(options.block_size) + "-byte block"};
  }
  if (!is_power_of_two(options.image_alignment) ||
      options.image_alignment < pe32.section_alignment()) {
    return Error{"image alignment " + hex(options.image_alignment) +
                 " is not a power of two at least the section alignment " +
                 hex(pe32.section_alignment())};
  }
  auto te_bytes = pe32.to_te();
  if (!te_bytes) return te_bytes.error();
  auto te = PeImage::parse(std::move(*te_bytes));
  if (!te) return Error{"the TE form does not read back: " + te.error().message};

  auto depex = make_section(layout::kSectionPeiDepex, encode_depex(module_depex()));
  if (!depex) return depex.error();
  // Offsets in the volume: the module's file follows the header and the leading files, its
  // sections follow its header.
  auto align = [](uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
  };
  uint64_t file_offset = kVolumeHeaderLength;
  for (const auto& file : options.leading_files) {
    file_offset = align(file_offset, layout::kFileAlignment) + file.size();
  }
  file_offset = align(file_offset, layout::kFileAlignment);
  constexpr uint64_t kSection = sizeof(layout::CommonSectionHeader);
  const uint64_t after_depex =
      align(file_offset + sizeof(layout::FfsFileHeader) + depex->size(), layout::kSectionAlignment);
  // The TE header lands at after_depex + pad + 4; the image base lies file_rva() before it.
  const uint64_t unpadded_base = options.volume_base + after_depex + kSection - te->file_rva();
  const uint64_t pad =
      (options.image_alignment - unpadded_base % options.image_alignment) % options.image_alignment;
  if (pad % layout::kSectionAlignment != 0) {
    return Error{"no pad section puts the image base on " + hex(options.image_alignment) +
                 ": the TE header would need to move by " + std::to_string(pad) + " bytes"};
  }
  const uint64_t image_base = unpadded_base + pad;
  if (image_base + te->size_of_image() > volume_end) {
    return Error{"the image at " + hex(image_base, 8) + " runs past the volume's end " +
                 hex(volume_end, 8)};
  }
  if (auto moved = te->rebase(static_cast<uint32_t>(image_base)); !moved) return moved.error();

  std::vector<std::vector<uint8_t>> sections{std::move(*depex)};
  if (pad != 0) {
    auto raw = make_section(layout::kSectionRaw, std::vector<uint8_t>(pad - kSection, 0));
    if (!raw) return raw.error();
    sections.push_back(std::move(*raw));
  }
  for (auto section : {make_section(layout::kSectionTe, te->file_bytes()),
                       make_section(layout::kSectionUserInterface, ucs2_text(kModuleName)),
                       make_section(layout::kSectionVersion,
                                    version_body(options.build_number, options.version))}) {
    if (!section) return section.error();
    sections.push_back(std::move(*section));
  }
  auto ffs = make_ffs_file(kModuleFileGuid, layout::kFileTypePeim,
                           options.data_checksum ? layout::kFileAttribChecksum : 0, sections);
  if (!ffs) return ffs.error();
  std::vector<std::vector<uint8_t>> files = options.leading_files;
  files.push_back(*ffs);
  auto volume = make_volume(options.volume_size, options.block_size, files);
  if (!volume) return volume.error();
  return Package{te->file_bytes(), std::move(*ffs), std::move(*volume),
                 static_cast<uint32_t>(image_base),
                 static_cast<uint32_t>(image_base + te->file_rva() - options.volume_base)};
}

}  // namespace peiboard
