// fwpack: turns the linked PE32 module into what ships: its TE image, its PEIM file and a
// firmware volume at a flash address, then reads each one back as the board would.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <string>

#include "files.h"
#include "format.h"
#include "module_image.h"
#include "package.h"

namespace {

using peiboard::Error;
using peiboard::Expected;

enum Exit : int { kDone = 0, kFailed = 1, kUsage = 2 };

// Each form must load back to the same image at the same address.
Expected<void> read_back(const std::string& path, const std::vector<uint8_t>& bytes,
                         uint32_t image_base) {
  auto module = peiboard::read_module_file(bytes);
  if (!module) return Error{path + ": does not read back: " + module.error().message};
  if (module->image.image_base() != image_base) {
    return Error{path + ": reads back at " + peiboard::hex(module->image.image_base(), 8) +
                 ", not " + peiboard::hex(image_base, 8)};
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"fwpack: the module's TE image, PEIM file and firmware volume"};
  std::string input, te_path, ffs_path, fv_path;
  peiboard::PackOptions options;
  app.add_option("image", input, "the linked PE32 image (.efi)")->required();
  app.add_option("--te", te_path, "where to write the TE image")->required();
  app.add_option("--ffs", ffs_path, "where to write the FFS file")->required();
  app.add_option("--fv", fv_path, "where to write the firmware volume")->required();
  // Addresses and sizes are shown in hex, as they are written; any integer form is accepted.
  app.add_option("--base", options.volume_base, "flash address of the volume")
      ->default_str(peiboard::hex(options.volume_base, 8));
  app.add_option("--size", options.volume_size, "volume size in bytes")
      ->default_str(peiboard::hex(options.volume_size));
  app.add_option("--block-size", options.block_size, "volume block size")
      ->default_str(peiboard::hex(options.block_size));
  app.add_option("--image-align", options.image_alignment, "alignment of the image base")
      ->default_str(peiboard::hex(options.image_alignment));
  app.add_option("--build", options.build_number, "build number of the version section")
      ->capture_default_str();
  app.add_option("--version", options.version, "version text")->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kDone : kUsage;
  }

  auto pe32 = peiboard::PeImage::load(input);
  if (!pe32) {
    std::fprintf(stderr, "fwpack: %s\n", pe32.error().message.c_str());
    return kFailed;
  }
  auto package = peiboard::pack_module(*pe32, options);
  if (!package) {
    std::fprintf(stderr, "fwpack: %s: %s\n", input.c_str(), package.error().message.c_str());
    return kFailed;
  }
  for (const auto& [path, bytes] :
       {std::pair{te_path, &package->te}, std::pair{ffs_path, &package->ffs},
        std::pair{fv_path, &package->volume}}) {
    auto done = read_back(path, *bytes, package->image_base);
    if (done) done = peiboard::write_output_file(path, *bytes);
    if (!done) {
      std::fprintf(stderr, "fwpack: %s\n", done.error().message.c_str());
      return kFailed;
    }
  }
  std::printf("fwpack: %s: TE %zu, FFS %zu, volume %zu bytes at 0x%08X; image executes at 0x%08X\n",
              input.c_str(), package->te.size(), package->ffs.size(), package->volume.size(),
              options.volume_base, package->image_base);
  return kDone;
}
