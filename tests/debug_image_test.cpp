// The build steps behind the debug file: the section renaming lets no DWARF section through
// unnamed, and the comparison with the released image notices any difference.
#include <fstream>

#include "debug_fixture.h"
#include "elf_file.h"
#include "files.h"

namespace peiboard::testing {
namespace {

class DebugImageToolTest : public ::testing::Test {
 protected:
  static std::string work(const std::string& name) {
    return std::string(PEIBOARD_TEST_WORK) + "/" + name;
  }
  static CommandResult tool(const std::string& args) {
    return run_command(std::string(DEBUGIMAGE) + " " + args + " 2>&1");
  }
  static void write(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  static std::vector<uint8_t> read(const std::string& path) {
    auto bytes = read_input_file(path, 64u << 20, "test file");
    if (!bytes) throw std::runtime_error(bytes.error().message);
    return *bytes;
  }
};

TEST_F(DebugImageToolTest, CompareNoticesAnyDifferenceFromTheRelease) {
  const std::string release = work("release-sections.elf");
  command_output(std::string(OBJCOPY) + " -O elf32-i386 " + PEIBOARD_IMAGE + " " + release);
  const auto same = tool("compare " + release + " " + PEIBOARD_DEBUG_ELF);
  EXPECT_EQ(same.status, 0) << same.output;
  EXPECT_NE(same.output.find(".text .rdata .data"), std::string::npos) << same.output;

  const auto good = read(PEIBOARD_DEBUG_ELF);
  auto elf = ElfFile::parse(good);
  ASSERT_TRUE(elf);
  const std::string changed = work("changed.debug.elf");
  for (const char* name : {".text", ".rdata", ".data"}) {
    const ElfSection* s = elf->section(name);
    ASSERT_NE(s, nullptr);
    auto bad = good;
    bad[s->offset + s->size - 1] ^= 1;  // the last byte
    write(changed, bad);
    const auto r = tool("compare " + release + " " + changed);
    EXPECT_NE(r.status, 0) << name;
    EXPECT_NE(r.output.find(std::string(name) + " holds other bytes"), std::string::npos)
        << r.output;
  }
  auto moved_entry = good;
  put32(moved_entry, 24, elf->entry() + 1);
  write(changed, moved_entry);
  const auto r = tool("compare " + release + " " + changed);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.output.find("entry point"), std::string::npos) << r.output;
}

TEST_F(DebugImageToolTest, RenamingRefusesADwarfSectionWithoutANewName) {
  const std::string object = std::string(PEIBOARD_DEBUG_OBJECTS) +
                             "/BasePkg/Library/BaseIoLibIntrinsic/IoLib.cpp.obj.dwarf";
  const std::string renamed = work("IoLib.renamed.obj");
  const std::string all =
      ".debug_info=.dwinfo .debug_abbrev=.dwabbr .debug_line=.dwline .debug_str=.dwstr "
      ".debug_loc=.dwloc .debug_ranges=.dwrange .debug_frame=.dwframe";
  const auto ok = tool("rename-sections " + object + " " + renamed + " " + all);
  ASSERT_EQ(ok.status, 0) << ok.output;
  const std::string listing = command_output(std::string(OBJDUMP) + " -h " + renamed);
  EXPECT_EQ(listing.find(".debug_"), std::string::npos) << listing;
  EXPECT_NE(listing.find(".dwline"), std::string::npos) << listing;
  // Everything else is left as it was, byte for byte, beside the names.
  EXPECT_EQ(read(renamed).size(), read(object).size());

  const auto partial = tool("rename-sections " + object + " " + renamed +
                            " .debug_info=.dwinfo .debug_abbrev=.dwabbr .debug_line=.dwline");
  EXPECT_NE(partial.status, 0);
  EXPECT_NE(partial.output.find("no new name given for section .debug_"), std::string::npos)
      << partial.output;
  EXPECT_NE(tool("rename-sections " + std::string(PEIBOARD_DEBUG_ELF) + " " + renamed).status, 0);
}

}  // namespace
}  // namespace peiboard::testing
