// Post-link check of the module image: fails the build when the file is not an IA32 PE32
// EFI boot service driver without imports whose entry is SystemBoardOverrideEntryPoint.
#include <cstdio>

#include "pe_image.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: pecheck IMAGE.efi IMAGE.map\n");
    return 2;
  }
  auto image = peiboard::PeImage::load(argv[1], std::filesystem::path(argv[2]));
  if (!image) {
    std::fprintf(stderr, "pecheck: %s\n", image.error().message.c_str());
    return 1;
  }
  auto problems = image->check();
  if (image->format() != peiboard::ImageFormat::kPe32) problems.push_back("not a PE32 file");
  for (const auto& p : problems) std::fprintf(stderr, "pecheck: %s: %s\n", argv[1], p.c_str());
  if (!problems.empty()) return 1;
  std::printf("pecheck: %s: PE32 i386 EFI boot service driver, %zu bytes, base 0x%08X\n", argv[1],
              image->file_bytes().size(), image->image_base());
  return 0;
}
