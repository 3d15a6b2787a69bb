#include "module_image.h"

#include <algorithm>
#include <cstdio>

#include "bytes.h"
#include "files.h"
#include "format.h"
#include "layouts.h"

namespace peiboard {
namespace {

constexpr uint64_t kFourGiB = 0x100000000ull;

bool starts_with(const std::vector<uint8_t>& bytes, uint16_t magic) {
  return bytes.size() >= 2 && get16(bytes, 0) == magic;
}

bool is_volume(const std::vector<uint8_t>& bytes) {
  constexpr size_t at = offsetof(layout::VolumeHeader, signature);
  return bytes.size() >= at + 4 && get32(bytes, at) == layout::kVolumeSignature;
}

// The image section of the module's file, parsed; where its first byte lies in `container`.
Expected<PeImage> image_of(const FfsFile& file, std::span<const uint8_t> container,
                           uint32_t* image_offset) {
  const std::string named = "file " + guid_text(file.name);
  if (file.type != layout::kFileTypePeim) {
    return Error{named + " is a " + file_type_name(file.type) + " file, not a PEIM"};
  }
  if (!file.valid_state()) return Error{named + " is " + file.state_text()};
  if (!file.image) {
    const bool encapsulated = std::any_of(file.sections.begin(), file.sections.end(), [](auto& s) {
      return s.type == layout::kSectionCompression || s.type == layout::kSectionGuidDefined;
    });
    return Error{named + " has no PE32 or TE section" +
                 (encapsulated ? " (its encapsulated sections are not opened)" : "")};
  }
  *image_offset = file.offset + file.image->offset + sizeof(layout::CommonSectionHeader);
  const auto body =
      container.subspan(*image_offset, file.image->size - sizeof(layout::CommonSectionHeader));
  const bool te = file.image->type == layout::kSectionTe;
  if (te != (body.size() >= 2 && get16(body, 0) == layout::kTeSignature)) {
    return Error{named + ": the " + section_type_name(file.image->type) +
                 " section holds another kind of image"};
  }
  auto image = PeImage::parse(std::vector<uint8_t>(body.begin(), body.end()));
  if (!image)
    return Error{named + ", " + section_type_name(file.image->type) +
                 " image: " + image.error().message};
  return image;
}

}  // namespace

Expected<ModuleFile> read_module_file(std::vector<uint8_t> bytes, const Guid& name) {
  ModuleFile module;
  if (starts_with(bytes, layout::kDosMagic) || starts_with(bytes, layout::kTeSignature)) {
    module.form = starts_with(bytes, layout::kDosMagic) ? ModuleForm::kPe32 : ModuleForm::kTe;
    auto image = PeImage::parse(std::move(bytes));
    if (!image) return image.error();
    module.image = std::move(*image);
    return module;
  }
  uint32_t image_offset = 0;
  if (is_volume(bytes)) {
    module.form = ModuleForm::kVolume;
    auto volume = parse_volume(bytes);
    if (!volume) return Error{"firmware volume: " + volume.error().message};
    const FfsFile* found = nullptr;
    for (const auto& f : volume->files) {
      if (f.name != name || !f.valid_state()) continue;
      if (found) return Error{"firmware volume: two valid files named " + guid_text(name)};
      found = &f;
    }
    if (!found) {
      std::string listed;
      for (const auto& f : volume->files) {
        listed += (listed.empty() ? "" : ", ") + guid_text(f.name) + " " + file_type_name(f.type);
      }
      return Error{"firmware volume: no valid file " + guid_text(name) + " (it holds " +
                   (listed.empty() ? "no files" : listed) + ")"};
    }
    auto image = image_of(*found, bytes, &image_offset);
    if (!image) return Error{"firmware volume: " + image.error().message};
    // The image executes in place where the volume puts its first byte.
    const int64_t base = int64_t{image->image_base()} + image->file_rva() - image_offset;
    if (base < 0 || base + static_cast<int64_t>(volume->length) > static_cast<int64_t>(kFourGiB)) {
      return Error{"firmware volume: the image at offset " + hex(image_offset) + " is placed for " +
                   hex(image->image_base(), 8) + ", which puts the volume outside 4 GiB"};
    }
    module.volume_base = static_cast<uint32_t>(base);
    module.file = *found;
    module.image = std::move(*image);
    module.volume = std::move(*volume);
    return module;
  }
  module.form = ModuleForm::kFfsFile;
  auto file = parse_ffs_file(bytes);
  if (!file) {
    return Error{"not a PE32 or TE image, firmware volume or FFS file (as an FFS file: " +
                 file.error().message + ")"};
  }
  if (file->size != bytes.size()) {
    return Error{"FFS file: its size field says " + std::to_string(file->size) +
                 " bytes, the file has " + std::to_string(bytes.size())};
  }
  if (file->name != name) {
    return Error{"FFS file: it is " + guid_text(file->name) + ", not the module's " +
                 guid_text(name)};
  }
  auto image = image_of(*file, bytes, &image_offset);
  if (!image) return Error{"FFS file: " + image.error().message};
  module.file = std::move(*file);
  module.image = std::move(*image);
  return module;
}

Expected<ModuleFile> load_module_file(const std::filesystem::path& path,
                                      const std::optional<std::filesystem::path>& map) {
  auto bytes = read_input_file(path, PeImage::kMaxFileSize, "image");
  if (!bytes) return bytes.error();
  auto module = read_module_file(std::move(*bytes));
  if (!module) return Error{path.string() + ": " + module.error().message};
  if (map) {
    auto map_bytes = read_input_file(*map, PeImage::kMaxFileSize, "link map");
    if (!map_bytes) return map_bytes.error();
    const std::string text(map_bytes->begin(), map_bytes->end());
    auto names = parse_link_map(text, map->string());
    if (!names) return names.error();
    module->image.attach_map(*names);
  }
  return module;
}

Expected<PeImage> load_module_image(const std::filesystem::path& path,
                                    const std::optional<std::filesystem::path>& map) {
  auto module = load_module_file(path, map);
  if (!module) return module.error();
  return std::move(module->image);
}

std::optional<std::filesystem::path> map_beside(const std::filesystem::path& image) {
  auto beside = std::filesystem::path(image).replace_extension(".map");
  std::error_code error;
  if (beside != image && std::filesystem::is_regular_file(beside, error)) return beside;
  return std::nullopt;
}

}  // namespace peiboard
