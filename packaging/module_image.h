// Loading the module in whichever form it ships: a PE32 image, a TE image, its FFS file or a
// firmware volume holding that file. Whatever the form, the result is the image at the
// address it executes at, so the board maps it unchanged.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "expected.h"
#include "ffs.h"
#include "guid.h"
#include "package.h"
#include "pe_image.h"

namespace peiboard {

enum class ModuleForm { kPe32, kTe, kFfsFile, kVolume };

struct ModuleFile {
  ModuleForm form = ModuleForm::kPe32;
  PeImage image;
  std::optional<FfsFile> file;          // the module's file, for an FFS file or a volume
  std::optional<Volume> volume;         // for a volume
  std::optional<uint32_t> volume_base;  // the flash address where the volume's image runs
};

// Reads `bytes` in any of the four forms. In a volume, finds the file named `name`, which
// must be a valid PEIM with a PE32 or TE section; a volume's image must be placed to execute
// in place in it. Every checksum is checked.
Expected<ModuleFile> read_module_file(std::vector<uint8_t> bytes,
                                      const Guid& name = kModuleFileGuid);

// The same from a file, with the link map's names (moved when the image does not sit at the
// map's preferred load address). Messages start with the file's path, or the map's and line.
Expected<ModuleFile> load_module_file(const std::filesystem::path& path,
                                      const std::optional<std::filesystem::path>& map);
Expected<PeImage> load_module_image(const std::filesystem::path& path,
                                    const std::optional<std::filesystem::path>& map);

// The link map the build writes beside the image (IMAGE.map for IMAGE.efi/.te/.ffs/.fv),
// when it is there.
std::optional<std::filesystem::path> map_beside(const std::filesystem::path& image);

}  // namespace peiboard
