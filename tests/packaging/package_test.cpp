// The shipped forms: what fwpack writes next to the image, where the image executes in
// place, and the one loader that takes any form back to the image the board maps.
#include "package.h"

#include <filesystem>
#include <fstream>

#include "built_files.h"
#include "bytes.h"
#include "layouts.h"
#include "module_image.h"

namespace peiboard::testing {
namespace {

Package packed(PackOptions options = {}) {
  auto package = pack_module(pe32(), options);
  if (!package) throw std::runtime_error(package.error().message);
  return std::move(package).value();
}

ModuleFile read(const std::vector<uint8_t>& bytes) {
  auto module = read_module_file(bytes);
  if (!module) throw std::runtime_error(module.error().message);
  return std::move(module).value();
}

std::vector<uint8_t> from_first_section(const PeImage& image) {
  const auto memory = image.memory_layout();
  return {memory.begin() + image.sections().front().virtual_address, memory.end()};
}

TEST(BuiltFilesTest, TheThreeFormsNestInsideEachOther) {
  // At the link address the TE needs no fix-up: the .te is the plain conversion.
  EXPECT_EQ(te_bytes(), *pe32().to_te());
  const auto& fv = fv_bytes();
  ASSERT_GE(fv.size(), 0x48 + ffs_bytes().size());
  EXPECT_TRUE(std::equal(ffs_bytes().begin(), ffs_bytes().end(), fv.begin() + 0x48));
  const ModuleFile module = read(fv);
  const auto te_at = module.file->offset + module.file->image->offset + 4;
  EXPECT_TRUE(std::equal(te_bytes().begin(), te_bytes().end(), fv.begin() + te_at));
  EXPECT_EQ(module.file->image->size, te_bytes().size() + 4);
  // The build's volume is what pack_module makes with the defaults.
  const Package package = packed();
  EXPECT_EQ(package.volume, fv);
  EXPECT_EQ(package.ffs, ffs_bytes());
  EXPECT_EQ(package.te, te_bytes());
}

TEST(BuiltFilesTest, TheFileHoldsDepexPadImageNameAndVersionInThatOrder) {
  const ModuleFile module = read(fv_bytes());
  const FfsFile& file = *module.file;
  EXPECT_EQ(file.name, kModuleFileGuid);
  EXPECT_EQ(file.type, layout::kFileTypePeim);
  EXPECT_EQ(file.attributes, layout::kFileAttribChecksum);
  EXPECT_EQ(file.state, 0xF8);
  ASSERT_EQ(file.sections.size(), 5u);
  const uint8_t types[] = {layout::kSectionPeiDepex, layout::kSectionRaw, layout::kSectionTe,
                           layout::kSectionUserInterface, layout::kSectionVersion};
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(file.sections[i].type, types[i]) << i;
  EXPECT_EQ(*file.depex, module_depex());
  EXPECT_EQ(file.ui_name, "QuarnelPeiSystemBoardOverride");
  EXPECT_EQ(file.version, "1.0");
  EXPECT_EQ(file.build_number, 1);
}

TEST(ExecuteInPlaceTest, TheBuiltVolumesImageRunsWhereItLies) {
  const ModuleFile module = read(fv_bytes());
  const PeImage& image = module.image;
  EXPECT_EQ(module.volume_base, 0xFFF00000u);
  EXPECT_EQ(image.image_base(), 0xFFF00000u);
  EXPECT_EQ(image.image_base() % 0x1000, 0u) << "the board maps whole pages";
  // In flash, every section lies at its RVA: the volume's bytes are the image in memory.
  const auto memory = image.memory_layout();
  const auto& fv = fv_bytes();
  const uint32_t offset = image.image_base() - *module.volume_base;
  for (const PeSection& s : image.sections()) {
    const uint32_t n = std::min(s.raw_size, s.virtual_size);  // the rest is padding
    EXPECT_TRUE(std::equal(memory.begin() + s.virtual_address,
                           memory.begin() + s.virtual_address + n,
                           fv.begin() + offset + s.virtual_address))
        << s.name;
  }
  EXPECT_EQ(get16(fv, offset + image.file_rva()), layout::kTeSignature);
}

TEST(ExecuteInPlaceTest, AnyBaseAndAlignmentPlacesTheTeHeaderWhereItsBaseSays) {
  for (uint32_t base : {0xFFF00000u, 0xFF000000u, 0xFFFE0000u, 0xFFA34000u}) {
    for (uint32_t align : {32u, 64u, 256u, 4096u}) {
      PackOptions options;
      options.volume_base = base;
      options.image_alignment = align;
      const Package package = packed(options);
      const ModuleFile module = read(package.volume);
      const PeImage& image = module.image;
      SCOPED_TRACE(hex(base) + " aligned " + std::to_string(align));
      EXPECT_EQ(image.image_base() % align, 0u);
      EXPECT_EQ(image.image_base(), package.image_base);
      EXPECT_EQ(module.volume_base, base);
      EXPECT_EQ(uint64_t{base} + package.te_offset,
                uint64_t{image.image_base()} + image.file_rva());
      EXPECT_EQ(get16(package.volume, package.te_offset), layout::kTeSignature);
      EXPECT_LT(image.image_base() - base + 0u + align, 0x100000000ull + align);
      // The moved image is the linked one moved by the same amount.
      PeImage moved = pe32();
      ASSERT_TRUE(moved.rebase(image.image_base()));
      EXPECT_EQ(from_first_section(image), from_first_section(moved));
    }
  }
}

TEST(ExecuteInPlaceTest, AVolumeElsewhereMovesTheLinkMapsNames) {
  PackOptions options;
  options.volume_base = 0xFF800000;
  auto module = read_module_file(packed(options).volume);
  ASSERT_TRUE(module);
  module->image.attach_map(*parse_link_map(map_text(), "map"));
  EXPECT_EQ(module->image.image_base(), 0xFF800000u);
  EXPECT_EQ(module->image.address_of("SystemBoardOverrideEntryPoint"), module->image.entry_point());
  EXPECT_TRUE(module->image.check().empty());
  EXPECT_EQ(module->image.symbol_at(module->image.entry_point() + 1),
            "SystemBoardOverrideEntryPoint");
}

TEST(PackTest, RefusesWhatCannotShip) {
  auto with = [](std::function<void(PackOptions&)> edit) {
    PackOptions options;
    edit(options);
    return pack_module(pe32(), options);
  };
  EXPECT_ERROR_HAS(with([](auto& o) { o.volume_base = 0xFE000000; }),
                   "leaves the flash window 0xFF000000..0xFFFFFFFF");
  EXPECT_ERROR_HAS(with([](auto& o) { o.volume_base = 0xFFFF0000, o.volume_size = 0x20000; }),
                   "leaves the flash window");
  EXPECT_ERROR_HAS(with([](auto& o) { o.volume_base = 0xFFF00800; }), "not on a 0x1000-byte block");
  EXPECT_ERROR_HAS(with([](auto& o) { o.image_alignment = 16; }),
                   "at least the section alignment 0x20");
  EXPECT_ERROR_HAS(with([](auto& o) { o.image_alignment = 96; }), "not a power of two");
  EXPECT_ERROR_HAS(with([](auto& o) { o.volume_size = 0x3000; }), "runs past the volume's end");
  EXPECT_ERROR_HAS(with([](auto& o) { o.volume_base = 0xFFFFE000, o.volume_size = 0x2000; }),
                   "runs past the volume's end");
  EXPECT_TRUE(with([](auto& o) { o.volume_base = 0xFFFFC000, o.volume_size = 0x4000; }))
      << "16 KiB hold the module";
  EXPECT_TRUE(with([](auto& o) { o.volume_base = 0xFFFF0000, o.volume_size = 0x10000; }))
      << "a volume may end at 4 GiB";
  auto no_relocs = pe32_bytes();
  put32(no_relocs, get32(no_relocs, 0x3C) + 24 + 96 + 8 * 5 + 4, 0);
  PackOptions elsewhere;
  elsewhere.volume_base = 0xFFE00000;
  EXPECT_ERROR_HAS(pack_module(*PeImage::parse(no_relocs), elsewhere), "no relocations");
}

TEST(LoaderTest, EveryFormGivesTheSameImageAtTheSameAddress) {
  const PeImage pe = pe32();
  for (const auto* bytes : {&pe32_bytes(), &te_bytes(), &ffs_bytes(), &fv_bytes()}) {
    const ModuleFile module = read(*bytes);
    EXPECT_EQ(module.image.image_base(), pe.image_base());
    EXPECT_EQ(module.image.entry_point(), pe.entry_point());
    EXPECT_EQ(module.image.size_of_image(), pe.size_of_image());
    EXPECT_EQ(from_first_section(module.image), from_first_section(pe));
  }
  EXPECT_EQ(read(pe32_bytes()).form, ModuleForm::kPe32);
  EXPECT_EQ(read(te_bytes()).form, ModuleForm::kTe);
  EXPECT_EQ(read(ffs_bytes()).form, ModuleForm::kFfsFile);
  EXPECT_EQ(read(fv_bytes()).form, ModuleForm::kVolume);
}

// A copy of the built volume whose module file is changed by `edit`, checksums set again.
std::vector<uint8_t> volume_with(const std::function<void(std::span<uint8_t> file)>& edit) {
  auto fv = fv_bytes();
  const std::span<uint8_t> file(fv.data() + 0x48, ffs_bytes().size());
  edit(file);
  file[16] = file[17] = 0;
  file[16] = static_cast<uint8_t>(-(sum8(file.first(24)) - file[23]));
  file[17] = static_cast<uint8_t>(-sum8(file.subspan(24)));
  return fv;
}

TEST(LoaderTest, TheModulesFileMustBeAValidPeimWithAnImage) {
  EXPECT_ERROR_HAS(read_module_file(volume_with([](auto f) { f[0] ^= 1; })),
                   "firmware volume: no valid file 760DFC9B-F12F-45E5-B1F2-1C68605B3439 (it "
                   "holds 760DFC9A-F12F-45E5-B1F2-1C68605B3439 PEIM)");
  EXPECT_ERROR_HAS(read_module_file(volume_with([](auto f) { f[18] = layout::kFileTypeDriver; })),
                   "file 760DFC9B-F12F-45E5-B1F2-1C68605B3439 is a DRIVER file, not a PEIM");
  EXPECT_ERROR_HAS(read_module_file(volume_with([](auto f) { f[23] = 0xE8; })),  // deleted
                   "no valid file");
  const uint32_t te_section = read(fv_bytes()).file->image->offset;
  EXPECT_ERROR_HAS(read_module_file(volume_with([&](auto f) { f[te_section + 3] = 0x19; })),
                   "has no PE32 or TE section");
  EXPECT_ERROR_HAS(read_module_file(volume_with([&](auto f) { f[te_section + 3] = 0x10; })),
                   "the PE32 section holds another kind of image");
  EXPECT_ERROR_HAS(read_module_file(volume_with([&](auto f) { put16(f, te_section + 10, 0x20); })),
                   "TE image: TE stripped size 32");
  auto ffs = ffs_bytes();
  ffs.push_back(0xFF);
  EXPECT_ERROR_HAS(read_module_file(ffs),
                   "FFS file: its size field says 13350 bytes, the file has 13351");
  EXPECT_ERROR_HAS(
      read_module_file(ffs_bytes(), guid_constant("11111111-2222-3333-4444-555555555555")),
      "FFS file: it is 760DFC9B-F12F-45E5-B1F2-1C68605B3439, not the module's");
  EXPECT_ERROR_HAS(read_module_file({1, 2, 3}),
                   "not a PE32 or TE image, firmware volume or FFS file");
}

TEST(LoaderTest, AVolumeWhoseImageWouldRunOutsideFourGiBIsRefused) {
  // The TE claims a base that puts the volume's start past 4 GiB.
  const uint32_t te_at = 0x48 + read(fv_bytes()).file->image->offset + 4;
  auto fv = volume_with([&](auto f) { put64(f, te_at - 0x48 + 16, 0xFFFF1000); });
  EXPECT_ERROR_HAS(read_module_file(fv), "puts the volume outside 4 GiB");
}

TEST(LoaderTest, FilesAndMapsAreNamedInMessages) {
  const auto dir = std::filesystem::path(::testing::TempDir()) / "peiboard_loader_test";
  std::filesystem::create_directories(dir);
  const auto write = [&](const char* name, const std::string& text) {
    std::ofstream(dir / name, std::ios::binary) << text;
    return dir / name;
  };
  const auto bad_image = write("bad.fv", std::string(64, '\0').replace(40, 4, "_FVH"));
  EXPECT_ERROR_HAS(load_module_image(bad_image, std::nullopt),
                   (bad_image.string() + ": firmware volume: "));
  const auto bad_map = write("bad.map", "\n Preferred load address is 1fff00000\n");
  EXPECT_ERROR_HAS(load_module_image(PEIBOARD_FV, bad_map),
                   bad_map.string() + ":2: address '1fff00000' does not fit in 32 bits");
  // A dependency expression the dispatcher cannot read: the file, the section's offset in it
  // and the byte's offset in the expression.
  auto fv = volume_with([](auto f) { f[24 + 4 + 17] = 0x09; });  // END becomes no opcode
  const auto bad_depex = write("bad-depex.fv", std::string(fv.begin(), fv.end()));
  EXPECT_ERROR_HAS(load_module_image(bad_depex, std::nullopt),
                   bad_depex.string() +
                       ": firmware volume: file at 0x48 (760DFC9B-F12F-45E5-B1F2-1C68605B3439), "
                       "section at file offset 0x18: dependency expression, offset 17: opcode "
                       "0x09 is not a PEI dependency opcode");
  auto image = load_module_image(PEIBOARD_FV, std::filesystem::path(PEIBOARD_MAP));
  ASSERT_TRUE(image) << image.error().message;
  EXPECT_TRUE(image->check().empty());
  EXPECT_EQ(map_beside(PEIBOARD_FV), std::filesystem::path(PEIBOARD_MAP));
  EXPECT_EQ(map_beside(dir / "lonely.fv"), std::nullopt);
}

}  // namespace
}  // namespace peiboard::testing
