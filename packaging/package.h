// The module as it ships: its TE image, the PEIM file that holds it, and a firmware volume
// that holds the file at a flash address, the image placed to execute in place there.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "expected.h"
#include "ffs.h"
#include "guid.h"
#include "pe_image.h"

namespace peiboard {

inline constexpr Guid kModuleFileGuid = guid_constant("760DFC9B-F12F-45E5-B1F2-1C68605B3439");
inline constexpr std::string_view kModuleName = "QuarnelPeiSystemBoardOverride";

struct PackOptions {
  uint32_t volume_base = 0xFFF00000;  // the flash address of the volume's first byte
  uint32_t volume_size = 0x10000;
  uint32_t block_size = 0x1000;
  // The image base is placed on a multiple of this, a power of two no smaller than the
  // image's section alignment (32 for the module). 4 KiB by default: the base then falls on
  // the volume's first byte, so the image's whole range lies inside the volume and, at the
  // link address, the TE needs no fix-up. 32 gives the smallest pad section.
  uint32_t image_alignment = 0x1000;
  uint16_t build_number = 1;
  std::string version = "1.0";
  // Files the volume holds before the module's (each from make_ffs_file).
  std::vector<std::vector<uint8_t>> leading_files;
  // Whether the module's file carries a data checksum. Relocatable component volumes, which
  // other tools move and patch in place, leave it clear, since those tools do not update it.
  bool data_checksum = true;
};

struct Package {
  std::vector<uint8_t> te;      // the TE image exactly as the volume holds it
  std::vector<uint8_t> ffs;     // the PEIM file exactly as the volume holds it
  std::vector<uint8_t> volume;  // the FFS2 volume
  uint32_t image_base = 0;      // where the image executes in place
  uint32_t te_offset = 0;       // of the TE header in the volume
};

// The module's dependency expression: its entry point reads PCDs through the PCD PPI, so
// the PEI dispatcher must not run it before that PPI is installed.
std::vector<DepexOp> module_depex();

// Builds the three forms from the linked PE32 image. The volume holds the leading files,
// then the module's file: the dependency expression, a RAW pad section that puts the TE
// image where its base meets `image_alignment`, the TE image (rebased to that base), the
// module's name and its version. Fails when the volume leaves the flash window, the
// alignment cannot be met, the image cannot move there or the files do not fit.
Expected<Package> pack_module(const PeImage& pe32, const PackOptions& options = {});

}  // namespace peiboard
