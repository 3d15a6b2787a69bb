// component_wrap: the module's volume as a relocatable component volume (information header
// revision 3, version 2.0), so that cbfstool, which moves only such volumes, can place it at
// another flash address and apply the TE relocations. The volume's first file is the component
// information header file; the module's file follows, packed as fwpack packs it but without a
// data checksum, which cbfstool does not update when it patches the image.
//
//   component_wrap IMAGE.efi OUT.fv [BASE]
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "bytes.h"
#include "layouts.h"
#include "package.h"

namespace {

using namespace peiboard;

constexpr Guid kComponentInfoFileGuid = guid_constant("912740BE-2284-4734-B971-84B027353F0C");

struct ComponentInfoHeader {
  uint32_t signature;  // kInfoHeaderSignature
  uint32_t header_length;
  uint8_t reserved1[2];
  uint8_t spec_version;
  uint8_t header_revision;
  uint32_t image_revision;
  char image_id[8];
  uint32_t image_size;
  uint32_t image_base;
  uint16_t image_attribute;
  uint16_t component_attribute;
  uint32_t cfg_region_offset;
  uint32_t cfg_region_size;
  uint32_t reserved2;
  uint32_t temp_ram_init_entry_offset;
  uint32_t reserved3;
  uint32_t notify_phase_entry_offset;
  uint32_t memory_init_entry_offset;
  uint32_t temp_ram_exit_entry_offset;
  uint32_t silicon_init_entry_offset;
};
static_assert(sizeof(ComponentInfoHeader) == 72);
static_assert(offsetof(ComponentInfoHeader, spec_version) == 10);
static_assert(offsetof(ComponentInfoHeader, image_id) == 16);
static_assert(offsetof(ComponentInfoHeader, image_size) == 24);
static_assert(offsetof(ComponentInfoHeader, image_base) == 28);
static_assert(offsetof(ComponentInfoHeader, component_attribute) == 34);

// The patch table follows the information header; an empty one is enough to be moved.
struct ComponentPatchTable {
  uint32_t signature;  // kPatchTableSignature
  uint16_t header_length;
  uint8_t header_revision;
  uint8_t reserved;
  uint32_t patch_entry_num;
};
static_assert(sizeof(ComponentPatchTable) == 12);

constexpr uint16_t kComponentSiliconInit = 0x3000;  // component type 3 in bits 12-15
// The signatures cbfstool looks for: four ASCII letters each, read as little-endian words.
constexpr uint32_t kInfoHeaderSignature = 0x48505346;
constexpr uint32_t kPatchTableSignature = 0x50505346;

Expected<std::vector<uint8_t>> info_header_file(uint32_t base, uint32_t size) {
  std::vector<uint8_t> body(sizeof(ComponentInfoHeader) + sizeof(ComponentPatchTable), 0);
  put32(body, offsetof(ComponentInfoHeader, signature), kInfoHeaderSignature);
  put32(body, offsetof(ComponentInfoHeader, header_length), sizeof(ComponentInfoHeader));
  body[offsetof(ComponentInfoHeader, spec_version)] = 0x20;
  body[offsetof(ComponentInfoHeader, header_revision)] = 3;
  put32(body, offsetof(ComponentInfoHeader, image_revision), 1);
  for (size_t i = 0; i < 8; ++i) body[offsetof(ComponentInfoHeader, image_id) + i] = "PEIBOARD"[i];
  put32(body, offsetof(ComponentInfoHeader, image_size), size);
  put32(body, offsetof(ComponentInfoHeader, image_base), base);
  put16(body, offsetof(ComponentInfoHeader, component_attribute), kComponentSiliconInit);
  const size_t patch = sizeof(ComponentInfoHeader);
  put32(body, patch + offsetof(ComponentPatchTable, signature), kPatchTableSignature);
  put16(body, patch + offsetof(ComponentPatchTable, header_length), sizeof(ComponentPatchTable));
  body[patch + offsetof(ComponentPatchTable, header_revision)] = 1;
  auto section = make_section(layout::kSectionRaw, body);
  if (!section) return section.error();
  const std::vector<std::vector<uint8_t>> sections{*section};
  return make_ffs_file(kComponentInfoFileGuid, layout::kFileTypeRaw, 0, sections);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: component_wrap IMAGE.efi OUT.fv [BASE]\n");
    return 2;
  }
  PackOptions options;
  if (argc == 4) options.volume_base = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 0));
  options.data_checksum = false;
  auto pe32 = PeImage::load(argv[1]);
  if (!pe32) {
    std::fprintf(stderr, "component_wrap: %s\n", pe32.error().message.c_str());
    return 1;
  }
  auto info = info_header_file(options.volume_base, options.volume_size);
  if (!info) {
    std::fprintf(stderr, "component_wrap: %s\n", info.error().message.c_str());
    return 1;
  }
  options.leading_files.push_back(std::move(*info));
  auto package = pack_module(*pe32, options);
  if (!package) {
    std::fprintf(stderr, "component_wrap: %s\n", package.error().message.c_str());
    return 1;
  }
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(package->volume.data()),
            static_cast<std::streamsize>(package->volume.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "component_wrap: %s: cannot write\n", argv[2]);
    return 1;
  }
  std::printf("component_wrap: %s: volume at 0x%08X, image at 0x%08X\n", argv[2],
              options.volume_base, package->image_base);
  return 0;
}
