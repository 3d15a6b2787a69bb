// The debug file against the released image: routines where the link map puts them, source
// lines as llvm-symbolizer reads them, and errors (never crashes) for files that are not right.
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "debug_fixture.h"
#include "dwarf_line.h"
#include "elf_file.h"
#include "files.h"

namespace peiboard::testing {
namespace {

std::vector<uint8_t> debug_file_bytes() {
  auto bytes = read_input_file(PEIBOARD_DEBUG_ELF, SourceMap::kMaxFileSize, "debug file");
  if (!bytes) throw std::runtime_error(bytes.error().message);
  return *bytes;
}

// Offset and size of a section inside the debug file's bytes.
std::pair<size_t, size_t> section_span(const std::vector<uint8_t>& bytes, const char* name) {
  auto elf = ElfFile::parse(bytes);
  if (!elf) throw std::runtime_error(elf.error().message);
  const ElfSection* s = elf->section(name);
  if (s == nullptr) throw std::runtime_error(std::string("no section ") + name);
  return {s->offset, s->size};
}

std::string source_line(const std::string& file, uint32_t line) {
  std::ifstream in(std::string(PEIBOARD_FIRMWARE_DIR) + "/" + file);
  std::string text;
  for (uint32_t i = 0; i < line && std::getline(in, text); ++i) {
  }
  return text;
}

uint32_t line_of(const std::string& file, const std::string& needle) {
  std::ifstream in(std::string(PEIBOARD_FIRMWARE_DIR) + "/" + file);
  std::string text;
  for (uint32_t line = 1; std::getline(in, text); ++line) {
    if (text.find(needle) != std::string::npos) return line;
  }
  return 0;
}

TEST(SourceMapTest, EntryPointIsTheModuleEntryRoutineInItsSourceFile) {
  const SourceMap& map = module_source_map();
  const uint32_t entry = released_image().entry_point();
  EXPECT_EQ(map.entry_point(), entry);
  const AddressInfo info = map.lookup(entry);
  ASSERT_TRUE(info.routine);
  EXPECT_EQ(*info.routine, "SystemBoardOverrideEntryPoint");
  EXPECT_EQ(info.offset, 0u);
  ASSERT_TRUE(info.file);
  EXPECT_EQ(*info.file, kModuleFile);
  // The first code of the routine is its first statement, a few lines below the signature.
  const uint32_t signature = line_of(kModuleFile, "EFIAPI SystemBoardOverrideEntryPoint(");
  ASSERT_NE(signature, 0u);
  EXPECT_GE(info.line, signature);
  EXPECT_LE(info.line, signature + 3);
  const std::string code = source_line(kModuleFile, info.line);
  EXPECT_EQ(code.find_first_not_of(' '), code.find_first_not_of(" /")) << code;  // no comment
  EXPECT_NE(code.find_first_not_of(' '), std::string::npos) << "a blank line";
}

TEST(SourceMapTest, RoutinesAreWhereTheLinkMapPutsThem) {
  const SourceMap& map = module_source_map();
  const PeImage& image = released_image();
  const PeSection& text = image.sections().front();
  ASSERT_EQ(text.name, ".text");
  const uint32_t text_begin = image.image_base() + text.virtual_address;
  std::set<std::pair<std::string, uint32_t>> from_map, from_debug;
  for (const Symbol& s : image.symbols()) {
    if (s.address >= text_begin && s.address < text_begin + text.virtual_size) {
      from_map.insert({s.name, s.address});
    }
  }
  for (const Routine& r : map.routines()) from_debug.insert({r.name, r.address});
  EXPECT_EQ(from_debug, from_map);
  ASSERT_GT(from_debug.size(), 50u);
  // Each routine reaches exactly to the next one: no byte belongs to two, none is lost.
  const auto& routines = map.routines();
  for (size_t i = 0; i + 1 < routines.size(); ++i) {
    if (routines[i + 1].address == routines[i].address) continue;  // aliases
    EXPECT_EQ(routines[i].address + routines[i].size, routines[i + 1].address) << routines[i].name;
  }
  EXPECT_EQ(routines.back().address + routines.back().size, text_begin + text.virtual_size);
}

TEST(SourceMapTest, DescribesAnAddressAsRoutineOffsetAndLine) {
  const SourceMap& map = module_source_map();
  const auto entry = map.address_of("SystemBoardOverrideEntryPoint");
  ASSERT_TRUE(entry);
  const AddressInfo inside = map.lookup(*entry + 8);
  ASSERT_TRUE(inside.file);
  EXPECT_EQ(map.describe(*entry + 8), "SystemBoardOverrideEntryPoint+0x8 (" +
                                          std::string(kModuleFile) + ":" +
                                          std::to_string(inside.line) + ")");
  EXPECT_EQ(map.describe(*entry).rfind("SystemBoardOverrideEntryPoint (", 0), 0u);

  // The last byte of a routine is still that routine; the next byte starts the next one.
  const Routine* r = map.routine_at(*entry);
  ASSERT_NE(r, nullptr);
  const uint32_t end = r->address + r->size;
  EXPECT_EQ(map.routine_at(end - 1), r);
  ASSERT_NE(map.routine_at(end), nullptr);
  EXPECT_NE(map.routine_at(end)->name, r->name);
  EXPECT_EQ(map.lookup(end).offset, 0u);

  // Outside the module's code nothing is known.
  EXPECT_EQ(map.routine_at(map.routines().front().address - 1), nullptr);
  EXPECT_EQ(map.describe(0x00001000), "0x00001000");
  EXPECT_FALSE(map.lookup(0x00001000).file);
  const uint32_t past = map.routines().back().address + map.routines().back().size;
  EXPECT_EQ(map.routine_at(past), nullptr);
}

TEST(SourceMapTest, AliasesAnswerWithOneNameAndEachNameResolves) {
  const SourceMap& map = module_source_map();
  const auto& routines = map.routines();
  size_t aliases = 0;
  for (size_t i = 0; i + 1 < routines.size(); ++i) {
    if (routines[i].address != routines[i + 1].address) continue;
    ++aliases;
    // Sorted by name within an address: the first one answers for all.
    EXPECT_LT(routines[i].name, routines[i + 1].name);
    EXPECT_EQ(map.routine_at(routines[i + 1].address)->name,
              map.routine_at(routines[i].address)->name);
    EXPECT_EQ(map.address_of(routines[i + 1].name), routines[i].address);
  }
  if (aliases == 0) GTEST_SKIP() << "the module has no routines that share an address";
  EXPECT_FALSE(map.address_of("NoSuchRoutine"));
}

TEST(SourceMapTest, LineTableIsSortedDisjointAndInsideTheCode) {
  const SourceMap& map = module_source_map();
  ASSERT_EQ(map.code().size(), 1u);
  const CodeSection& text = map.code()[0];
  EXPECT_EQ(text.name, ".text");
  ASSERT_GT(map.lines().size(), 500u);
  uint32_t previous_end = 0;
  for (const LineRange& r : map.lines()) {
    EXPECT_LT(r.begin, r.end);
    EXPECT_GE(r.begin, previous_end);
    EXPECT_GE(r.begin, text.address);
    EXPECT_LE(r.end, text.address + text.bytes.size());
    EXPECT_GT(r.line, 0u);
    ASSERT_LT(r.file, map.files().size());
    EXPECT_TRUE(
        std::filesystem::exists(std::string(PEIBOARD_FIRMWARE_DIR) + "/" + map.files()[r.file]))
        << map.files()[r.file];
    previous_end = r.end;
  }
  // Every routine's first byte has a line: the whole module is compiled with line tables.
  for (const Routine& r : map.routines()) EXPECT_TRUE(map.lookup(r.address).file) << r.name;
}

// Every byte of the module's code, as llvm-symbolizer --inlining reads the debug file: the same
// chain of routines and lines, the innermost (the line table's row) first, then each place the
// code was inlined into, out to the routine it lies in.
TEST(SourceMapTest, EveryCodeAddressHasTheInlineChainOfLlvmSymbolizer) {
  const SourceMap& map = module_source_map();
  std::ostringstream addresses;
  std::vector<uint32_t> probes;
  for (const CodeSection& c : map.code()) {
    for (uint32_t i = 0; i < c.bytes.size(); ++i) probes.push_back(c.address + i);
  }
  for (uint32_t a : probes) addresses << hex(a) << "\n";
  const std::string list = std::string(PEIBOARD_TEST_WORK) + "/symbolizer-addresses.txt";
  std::ofstream(list) << addresses.str();
  const std::string out =
      command_output(std::string(LLVM_SYMBOLIZER) +
                     " --inlining --functions=short --obj=" + PEIBOARD_DEBUG_ELF + " < " + list);
  // One block per address: FUNCTION and FILE:LINE:COLUMN per level, then a blank line.
  std::istringstream in(out);
  const std::string root = std::string(PEIBOARD_FIRMWARE_DIR) + "/";
  size_t mismatches = 0, compared = 0, inlined = 0;
  for (uint32_t a : probes) {
    std::vector<std::string> block;
    for (std::string text; std::getline(in, text) && !text.empty();) block.push_back(text);
    ASSERT_TRUE(!block.empty() && block.size() % 2 == 0) << hex(a);
    const auto chain = map.inline_chain(a);
    if (chain.empty() || block[0] == "??") continue;  // padding between routines
    ++compared;
    if (chain.size() > 1) ++inlined;
    std::ostringstream theirs, ours;
    for (size_t i = 0; i < block.size(); i += 2) {
      const std::string& place = block[i + 1];
      const size_t column = place.rfind(':');
      const size_t line = place.rfind(':', column - 1);
      ASSERT_TRUE(column != std::string::npos && line != std::string::npos) << place;
      const std::string number = place.substr(line + 1, column - line - 1);
      // The routine the code lies in answers with its symbol's name, which an alias at the
      // same address may give for the DWARF's.
      std::string routine = block[i];
      if (i + 2 == block.size() && map.address_of(routine) &&
          map.routine_at(*map.address_of(routine)) == map.routine_at(a)) {
        routine = chain.back().routine;
      }
      theirs << routine << " " << (number == "0" ? "?" : place.substr(0, line) + ":" + number)
             << "\n";
    }
    for (const SourceLocation& level : chain) {
      ours << level.routine << " "
           << (level.file && level.line != 0 ? root + *level.file + ":" + std::to_string(level.line)
                                             : "?")
           << "\n";
    }
    if (theirs.str() != ours.str()) {
      ADD_FAILURE() << hex(a) << ": llvm-symbolizer says\n"
                    << theirs.str() << "the map\n"
                    << ours.str();
      if (++mismatches > 10) break;
    }
  }
  std::string rest;
  EXPECT_FALSE(std::getline(in, rest)) << "more answers than addresses: " << rest;
  // The module's code is compared nearly whole, and the compiler inlined some of it.
  EXPECT_GT(compared, probes.size() * 9 / 10);
  EXPECT_GT(inlined, 0u);
  std::cout << "compared " << compared << " of " << probes.size() << " code addresses, " << inlined
            << " in inlined code\n";
}

// GDB reads the debug file as an ELF image (its PE reader fails above 2 GiB) and agrees on the
// entry point's line.
TEST(SourceMapTest, GdbReadsTheDebugFile) {
  const SourceMap& map = module_source_map();
  const AddressInfo info = map.lookup(map.entry_point());
  ASSERT_TRUE(info.file);
  std::string entry = hex(map.entry_point());
  std::transform(entry.begin(), entry.end(), entry.begin(), [](char c) { return std::tolower(c); });
  const std::string out = command_output(std::string(GDB) + " -nx -batch -ex 'info line *" + entry +
                                         "' " + PEIBOARD_DEBUG_ELF);
  EXPECT_NE(out.find("Line " + std::to_string(info.line) + " of \"" + PEIBOARD_FIRMWARE_DIR + "/" +
                     *info.file + "\" starts at address " + entry + " "),
            std::string::npos)
      << out;
}

// A debug file that is missing, of another kind, cut short or corrupt is an Error that says
// so; no content makes the reader read outside the file.
class CorruptDebugFileTest : public ::testing::Test {
 protected:
  static Expected<SourceMap> parse(std::vector<uint8_t> bytes) {
    return SourceMap::parse(std::move(bytes));
  }
  std::vector<uint8_t> good_ = debug_file_bytes();
};

TEST_F(CorruptDebugFileTest, MissingFileOrOtherKindOfFile) {
  const auto missing = SourceMap::load("/nonexistent/module.debug.elf");
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.error().message.find("/nonexistent/module.debug.elf"), std::string::npos);
  const auto pe = SourceMap::load(PEIBOARD_IMAGE);
  ASSERT_FALSE(pe);
  EXPECT_NE(pe.error().message.find("not an ELF file"), std::string::npos);
  ASSERT_TRUE(parse(good_));
}

TEST_F(CorruptDebugFileTest, ElfWithoutLineTable) {
  const std::string stripped = std::string(PEIBOARD_TEST_WORK) + "/release-only.elf";
  command_output(std::string(OBJCOPY) + " -O elf32-i386 " + PEIBOARD_IMAGE + " " + stripped);
  const auto map = SourceMap::load(stripped);
  ASSERT_FALSE(map);
  EXPECT_NE(map.error().message.find("no .debug_line"), std::string::npos) << map.error().message;
}

TEST_F(CorruptDebugFileTest, CutShortAnywhere) {
  const size_t shoff = get32(good_, 32);
  for (size_t size : {size_t{0}, size_t{4}, size_t{51}, size_t{52}, good_.size() / 2, shoff,
                      shoff + 40, good_.size() - 1}) {
    std::vector<uint8_t> cut(good_.begin(), good_.begin() + static_cast<ptrdiff_t>(size));
    EXPECT_FALSE(parse(cut)) << "cut to " << size << " bytes";
  }
}

TEST_F(CorruptDebugFileTest, HeadersPointingOutsideTheFile) {
  const size_t shoff = get32(good_, 32);
  const size_t line = [&] {
    auto elf = ElfFile::parse(good_);
    for (size_t i = 0; i < elf->sections().size(); ++i) {
      if (elf->sections()[i].name == ".debug_line") return i;
    }
    return size_t{0};
  }();
  ASSERT_NE(line, 0u);
  auto bad = good_;
  put32(bad, shoff + line * 40 + 20, 0xFFFFFFF0);  // size
  EXPECT_FALSE(parse(bad));
  bad = good_;
  put32(bad, shoff + line * 40 + 16, static_cast<uint32_t>(good_.size()));  // offset
  EXPECT_FALSE(parse(bad));
  bad = good_;
  put16(bad, 50, 0x7FFF);  // section name table index
  EXPECT_FALSE(parse(bad));
  bad = good_;
  put16(bad, 18, 62);  // x86-64
  EXPECT_FALSE(parse(bad));
}

TEST_F(CorruptDebugFileTest, MalformedLineProgramHeaders) {
  const auto [at, size] = section_span(good_, ".debug_line");
  ASSERT_GT(size, 64u);
  struct Case {
    const char* what;
    size_t offset;
    std::vector<uint8_t> bytes;
  };
  // Offsets in the first unit's DWARF 4 header.
  const std::vector<Case> cases = {
      {"unit length past the section", 0, {0x00, 0xFF, 0xFF, 0x7F}},
      {"version 9", 4, {0x09, 0x00}},
      {"version 1", 4, {0x01, 0x00}},
      {"header length past the unit", 6, {0xFF, 0xFF, 0x00, 0x00}},
      {"line range 0", 14, {0x00}},
      {"opcode base 0", 15, {0x00}},
  };
  for (const Case& c : cases) {
    auto bad = good_;
    std::copy(c.bytes.begin(), c.bytes.end(), bad.begin() + static_cast<ptrdiff_t>(at + c.offset));
    const auto map = parse(bad);
    ASSERT_FALSE(map) << c.what;
    EXPECT_NE(map.error().message.find(".debug_line"), std::string::npos) << map.error().message;
  }
}

// Any single byte of the line programs changed: the reader either fails or hands back a table
// that keeps its promises (sorted, disjoint, inside the code, files in range).
TEST_F(CorruptDebugFileTest, AnyByteOfTheLineTableChanged) {
  const auto [at, size] = section_span(good_, ".debug_line");
  size_t failed = 0, read = 0;
  for (size_t i = 0; i < size; i += (i < 256 ? 1 : 37)) {
    for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x80}}) {
      auto bad = good_;
      bad[at + i] = value;
      const auto map = parse(std::move(bad));
      if (!map) {
        EXPECT_FALSE(map.error().message.empty());
        ++failed;
        continue;
      }
      ++read;
      uint32_t previous_end = 0;
      for (const LineRange& r : map->lines()) {
        ASSERT_LT(r.begin, r.end);
        ASSERT_GE(r.begin, previous_end);
        ASSERT_LT(r.file, map->files().size());
        previous_end = r.end;
      }
    }
  }
  EXPECT_GT(failed, 0u);
  EXPECT_GT(read, 0u);
}

// DWARF 5 line tables (what clang writes by default for ELF targets): directories and file
// names in entry formats, strings in .debug_line_str, file 0 the unit's own.
TEST(DwarfLineTest, ReadsADwarf5Unit) {
  std::vector<uint8_t> line_str;
  auto add_string = [&](const std::string& s) {
    const auto at = static_cast<uint8_t>(line_str.size());
    line_str.insert(line_str.end(), s.begin(), s.end());
    line_str.push_back(0);
    return at;
  };
  const uint8_t root = add_string("/src"), pkg = add_string("/src/Pkg"),
                usr = add_string("/usr/include");
  std::vector<uint8_t> header = {1, 1, 1, 0xFB, 14, 13,  // min inst, max ops, is_stmt, base...
                                 0, 1, 1, 1,    1,  0,  0, 0, 1, 0, 0, 1};
  // Directories: one format (path, line_strp), three entries.
  header.insert(header.end(), {1, 1, 0x1F, 3, root, 0, 0, 0, pkg, 0, 0, 0, usr, 0, 0, 0});
  // Files: (path, string) and (directory index, udata); three entries.
  header.insert(header.end(), {2, 1, 0x08, 2, 0x0F, 3});
  for (auto [name, dir] : {std::pair<std::string, uint8_t>{"main.c", 1}, {"a.h", 2}, {"b.c", 0}}) {
    header.insert(header.end(), name.begin(), name.end());
    header.insert(header.end(), {0, dir});
  }
  const std::vector<uint8_t> program = {
      0x00, 0x05, 0x02, 0x00, 0x10, 0x00, 0x00,  // set_address 0x1000
      0x04, 0x00,                                // set_file 0 (main.c)
      0x03, 0x09,                                // advance_line 9: line 10
      0x01,                                      // copy
      61,                                        // special: address +3, line +1
      0x04, 0x01,                                // set_file 1 (a.h)
      0x02, 0x02,                                // advance_pc 2
      0x01,                                      // copy
      0x04, 0x02,                                // set_file 2 (b.c)
      0x03, 0x7F,                                // advance_line -1
      0x09, 0x01, 0x00,                          // fixed_advance_pc 1
      0x01,                                      // copy
      0x02, 0x04,                                // advance_pc 4
      0x00, 0x01, 0x01,                          // end_sequence
  };
  // Version 5, address size 4, no segments.
  auto section = line_section({5, 0, 4, 0}, header, program);
  const size_t unit_size = section.size() - 4;  // after the unit length field
  auto read = [&] {
    const std::string strtab("\0_Main\0", 7);
    auto elf =
        ElfFile::parse(build_elf({{".text", 1, kCode, 0x1000, std::vector<uint8_t>(10, 0x90)},
                                  {".debug_line", 1, 0, 0, section},
                                  {".debug_line_str", 1, 0, 0, line_str},
                                  {".symtab", 2, 0, 0, symbol_table({{1, 0x1000, 1}}), 5},
                                  {".strtab", 3, 0, 0, {strtab.begin(), strtab.end()}}},
                                 0x1000));
    if (!elf) throw std::runtime_error(elf.error().message);
    return read_line_table(*elf);
  };

  const auto table = read();
  ASSERT_TRUE(table) << table.error().message;
  auto describe = [&](const LineRange& r) {
    return hex(r.begin) + "-" + hex(r.end) + " " + table->files[r.file] + ":" +
           std::to_string(r.line);
  };
  std::vector<std::string> got;
  for (const auto& r : table->ranges) got.push_back(describe(r));
  EXPECT_EQ(
      got, (std::vector<std::string>{"0x1000-0x1003 Pkg/main.c:10", "0x1003-0x1005 Pkg/main.c:11",
                                     "0x1005-0x1006 /usr/include/a.h:11", "0x1006-0x100A b.c:10"}));

  // The same unit one byte short ends inside its last opcode.
  section.pop_back();
  put32(section, 0, static_cast<uint32_t>(unit_size - 1));
  EXPECT_FALSE(read());
  // A string offset past .debug_line_str.
  line_str.resize(3);
  put32(section, 0, static_cast<uint32_t>(unit_size));
  section.push_back(0x01);
  EXPECT_FALSE(read());
}

}  // namespace
}  // namespace peiboard::testing
