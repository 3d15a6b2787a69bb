// Debug files built to cost time or memory, and ones that describe other code than the image:
// each ends in bounded memory as a located error or as a bounded map. Each case runs in a child
// process whose peak resident memory is measured, so a reader that copies or holds what it
// should not fails the case however fast the machine is.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "board.h"
#include "coverage.h"
#include "debug_fixture.h"
#include "elf_file.h"
#include "expect_error.h"
#include "files.h"

namespace peiboard::testing {
namespace {

// A DWARF 4 unit: no directories, one file "a.c", then `program`.
std::vector<uint8_t> dwarf4_unit(const std::vector<uint8_t>& program) {
  std::vector<uint8_t> header = {1, 1, 1, 0xFB, 14, 13, 0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 1};
  header.push_back(0);  // no directories
  header.insert(header.end(), {'a', '.', 'c', 0, 0, 0, 0, 0});
  return line_section({4, 0}, header, program);
}

// A DWARF 5 unit whose directory and file tables are `tables` (formats, count, entries), and
// no program.
std::vector<uint8_t> dwarf5_unit(const std::vector<uint8_t>& tables) {
  std::vector<uint8_t> header = {1, 1, 1, 0xFB, 14, 13, 0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 1};
  header.insert(header.end(), tables.begin(), tables.end());
  return line_section({5, 0, 4, 0}, header, {});
}

void append_uleb(std::vector<uint8_t>& bytes, uint64_t value) {
  do {
    const auto byte = static_cast<uint8_t>(value & 0x7F);
    value >>= 7;
    bytes.push_back(value != 0 ? byte | 0x80 : byte);
  } while (value != 0);
}

void append(std::vector<uint8_t>& bytes, const std::vector<uint8_t>& more) {
  bytes.insert(bytes.end(), more.begin(), more.end());
}

std::vector<uint8_t> set_address(uint32_t address) {
  std::vector<uint8_t> op = {0x00, 0x05, 0x02};
  append_le(op, address);
  return op;
}

// A file with one code section of `code` at `address`, the line program, and one routine.
std::vector<uint8_t> debug_file(uint32_t address, const std::vector<uint8_t>& code,
                                const std::vector<uint8_t>& debug_line) {
  const std::string strtab("\0_Main\0", 7);
  return build_elf({{".text", 1, kCode, address, code},
                    {".debug_line", 1, 0, 0, debug_line},
                    {".symtab", 2, 0, 0, symbol_table({{1, address, 1}}), 4},
                    {".strtab", 3, 0, 0, {strtab.begin(), strtab.end()}}},
                   address);
}

// What a child process reports: the error (empty for success), a count the case chose, and
// how much the child's peak resident memory grew.
struct Outcome {
  std::string error;
  uint64_t count = 0;
  uint64_t growth_kib = 0;
};

long peak_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

Outcome in_child(const std::function<Expected<uint64_t>()>& work) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe");
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    const long before = peak_kib();
    std::string text;
    try {
      const auto result = work();
      const long growth = peak_kib() - before;
      text = std::to_string(growth) + " " + std::to_string(result ? *result : 0) + " " +
             (result ? std::string() : result.error().message);
    } catch (const std::exception& e) {
      text = std::to_string(peak_kib() - before) + " 0 exception: " + e.what();
    }
    const ssize_t written = write(fds[1], text.data(), text.size());
    _exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  close(fds[1]);
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {"the child died", 0, 0};
  Outcome outcome;
  std::istringstream in(text);
  in >> outcome.growth_kib >> outcome.count;
  in.get();
  std::getline(in, outcome.error, '\0');
  return outcome;
}

Expected<uint64_t> lines_of(std::vector<uint8_t> bytes) {
  auto map = SourceMap::parse(std::move(bytes));
  if (!map) return map.error();
  return map->lines().size();
}

constexpr uint64_t kBoundKib = 64 * 1024;  // each case stays well below this

TEST(HostileDebugFileTest, EachCostlyFileEndsBoundedOrRefused) {
  struct Case {
    const char* what;
    std::function<std::vector<uint8_t>()> file;
    const char* error;  // empty: the map reads, with `lines` ranges
    uint64_t lines;
  };
  const std::vector<Case> cases = {
      {"8 MiB of DW_LNS_copy at one address: more line table than a module has",
       [] {
         std::vector<uint8_t> program = set_address(0x1000);
         program.resize(program.size() + (8u << 20), 0x01);
         program.insert(program.end(), {0x21, 0x00, 0x01, 0x01});  // +1 byte, end_sequence
         return debug_file(0x1000, {0x90, 0x90}, dwarf4_unit(program));
       },
       ".debug_line is 8388656 bytes, more than the 256 KiB a module's line table may have", 0},
      {"just under 256 KiB of DW_LNS_copy at one address: read, every row held, bounded",
       [] {
         std::vector<uint8_t> program = set_address(0x1000);
         program.resize((256u << 10) - 64, 0x01);
         program.insert(program.end(), {0x21, 0x00, 0x01, 0x01});  // +1 byte, end_sequence
         return debug_file(0x1000, std::vector<uint8_t>(256u << 10, 0x90), dwarf4_unit(program));
       },
       "", 1},
      {"4,000 one-byte code sections and 200,000 rows outside them: only rows in the code stay",
       [] {
         std::vector<ElfSectionSpec> sections;
         for (uint32_t i = 0; i < 4000; ++i) {
           sections.push_back({".text", 1, kCode, 0x10000 + 2 * i, {0x90}, 0, i == 0 ? 0u : 1u});
         }
         std::vector<uint8_t> program = set_address(0x10000);
         program.insert(program.end(), {0x01, 0x21, 0x00, 0x01, 0x01});  // one row in the code
         append(program, set_address(0x100000));
         program.insert(program.end(), 200000, 0x21);  // rows of 1 byte each, outside
         program.insert(program.end(), {0x00, 0x01, 0x01});
         const std::string strtab("\0_Main\0", 7);
         sections.push_back({".debug_line", 1, 0, 0, dwarf4_unit(program)});
         sections.push_back({".symtab", 2, 0, 0, symbol_table({{1, 0x10000, 1}}), 4003});
         sections.push_back({".strtab", 3, 0, 0, {strtab.begin(), strtab.end()}});
         return build_elf(sections, 0x10000);
       },
       "", 1},
      {"one code byte described 20,000 times over by overlapping sequences",
       [] {
         std::vector<uint8_t> program;
         for (int i = 0; i < 20000; ++i) {
           append(program, set_address(0x1000));
           program.insert(program.end(), {0x01, 0x21, 0x00, 0x01, 0x01});
         }
         return debug_file(0x1000, {0x90}, dwarf4_unit(program));
       },
       "more than 1 ranges in the code", 0},
      {"5 MiB of .debug_info: more debug information than a module has",
       [] {
         std::vector<uint8_t> program = set_address(0x1000);
         program.insert(program.end(), {0x01, 0x21, 0x00, 0x01, 0x01});
         const std::string strtab("\0_Main\0", 7);
         return build_elf({{".text", 1, kCode, 0x1000, {0x90}},
                           {".debug_line", 1, 0, 0, dwarf4_unit(program)},
                           {".debug_info", 1, 0, 0, std::vector<uint8_t>(5u << 20, 0)},
                           {".symtab", 2, 0, 0, symbol_table({{1, 0x1000, 1}}), 5},
                           {".strtab", 3, 0, 0, {strtab.begin(), strtab.end()}}},
                          0x1000);
       },
       ".debug_info is 5242880 bytes, more than the 4 MiB a module's debug information may have",
       0},
      {"1,000 routines sharing one 256 KiB name",
       [] {
         std::string strtab(1, '\0');
         strtab += "_" + std::string(256 << 10, 'N');
         strtab.push_back('\0');
         std::vector<std::tuple<uint32_t, uint32_t, uint16_t>> symbols;
         for (uint32_t i = 0; i < 1000; ++i) symbols.emplace_back(1, 0x1000 + i, 1);
         std::vector<uint8_t> program = set_address(0x1000);
         program.insert(program.end(), {0x01, 0x21, 0x00, 0x01, 0x01});
         return build_elf({{".text", 1, kCode, 0x1000, std::vector<uint8_t>(1000, 0x90)},
                           {".debug_line", 1, 0, 0, dwarf4_unit(program)},
                           {".symtab", 2, 0, 0, symbol_table(symbols), 4},
                           {".strtab", 3, 0, 0, {strtab.begin(), strtab.end()}}},
                          0x1000);
       },
       "the routines' names add up to more than the file", 0},
      {"4,000 code sections sharing 4 KiB of file bytes",
       [] {
         std::vector<ElfSectionSpec> sections;
         for (uint32_t i = 0; i < 4000; ++i) {
           sections.push_back({".text", 1, kCode, 0x10000 + 0x1000 * i,
                               std::vector<uint8_t>(0x1000, 0x90), 0, i == 0 ? 0u : 1u});
         }
         std::vector<uint8_t> program = set_address(0x10000);
         program.insert(program.end(), {0x01, 0x21, 0x00, 0x01, 0x01});
         const std::string strtab("\0_Main\0", 7);
         sections.push_back({".debug_line", 1, 0, 0, dwarf4_unit(program)});
         sections.push_back({".symtab", 2, 0, 0, symbol_table({{1, 0x10000, 1}}), 4003});
         sections.push_back({".strtab", 3, 0, 0, {strtab.begin(), strtab.end()}});
         return build_elf(sections, 0x10000);
       },
       "the code sections hold more bytes than the file", 0},
      {"a DWARF 5 table of 4 million entries with no entry format",
       [] {
         std::vector<uint8_t> tables = {0};  // no directory formats
         append_uleb(tables, 4000000);
         tables.resize(tables.size() + 4000000, 0);
         return debug_file(0x1000, {0x90}, dwarf5_unit(tables));
       },
       "4000000 entries but no entry format", 0},
      {"a DWARF 5 table of 2 million one-byte entries",
       [] {
         std::vector<uint8_t> tables = {1, 1, 0x08};  // path as an inline string
         append_uleb(tables, 2000000);
         tables.resize(tables.size() + 2000000, 0);
         return debug_file(0x1000, {0x90}, dwarf5_unit(tables));
       },
       "2000000 entries, more than the 65536", 0},
      {"70 file names of a megabyte each, all in one string",
       [] {
         std::vector<uint8_t> line_str(1u << 20, 'd');
         line_str.push_back(0);
         std::vector<uint8_t> tables = {1, 1, 0x1F, 1, 0, 0, 0, 0};  // one directory: the string
         tables.insert(tables.end(), {2, 1, 0x1F, 2, 0x0F, 70});     // files: (path, directory)
         std::vector<uint8_t> program = set_address(0x1000);
         for (uint8_t i = 0; i < 70; ++i) {
           append_le(tables, uint32_t{i});  // each a name of its own: the string from byte i on
           tables.push_back(0);
           program.insert(program.end(), {0x04, i, 0x01, 0x21});  // set_file, copy, +1 byte
         }
         program.insert(program.end(), {0x00, 0x01, 0x01});
         auto line = dwarf5_unit(tables);
         line.insert(line.end(), program.begin(), program.end());
         put32(line, 0, static_cast<uint32_t>(line.size() - 4));
         const std::string strtab("\0_Main\0", 7);
         return build_elf({{".text", 1, kCode, 0x1000, std::vector<uint8_t>(80, 0x90)},
                           {".debug_line", 1, 0, 0, line},
                           {".debug_line_str", 1, 0, 0, line_str},
                           {".symtab", 2, 0, 0, symbol_table({{1, 0x1000, 1}}), 5},
                           {".strtab", 3, 0, 0, {strtab.begin(), strtab.end()}}},
                          0x1000);
       },
       "file 0 names a path of 2097152 bytes with its directories, more than 8192", 0},
      {"50,000 file names of 8,000 bytes each with their directory, all in one string",
       [] {
         std::vector<uint8_t> line_str(4000, 'd');
         line_str.push_back(0);
         std::vector<uint8_t> tables = {1, 1, 0x1F, 1, 0, 0, 0, 0};  // one directory: the string
         tables.insert(tables.end(), {2, 1, 0x1F, 2, 0x0B});         // files: (path, directory)
         append_uleb(tables, 50000);
         for (int i = 0; i < 50000; ++i) tables.insert(tables.end(), {0, 0, 0, 0, 0});
         const std::string strtab("\0_Main\0", 7);
         return build_elf({{".text", 1, kCode, 0x1000, {0x90}},
                           {".debug_line", 1, 0, 0, dwarf5_unit(tables)},
                           {".debug_line_str", 1, 0, 0, line_str},
                           {".symtab", 2, 0, 0, symbol_table({{1, 0x1000, 1}}), 5},
                           {".strtab", 3, 0, 0, {strtab.begin(), strtab.end()}}},
                          0x1000);
       },
       "the units' file names add up to more than 4 MiB", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes = c.file();  // made before the child measures
    const Outcome outcome =
        in_child([&]() -> Expected<uint64_t> { return lines_of(std::move(bytes)); });
    if (*c.error == '\0') {
      EXPECT_EQ(outcome.error, "");
      EXPECT_EQ(outcome.count, c.lines);
    } else {
      EXPECT_NE(outcome.error.find(c.error), std::string::npos) << outcome.error;
    }
    EXPECT_LT(outcome.growth_kib, kBoundKib);
  }
}

// Two code sections 4 GiB apart: coverage costs what its blocks and lines cost, not the span.
TEST(HostileDebugFileTest, CoverageOfCodeFarApartIsSizedByItsBlocks) {
  std::vector<uint8_t> program = set_address(0x1000);
  program.insert(program.end(), {0x01, 0x21, 0x00, 0x01, 0x01});
  append(program, set_address(0xFFFFFF00));
  program.insert(program.end(), {0x03, 0x0A, 0x01, 0x21, 0x00, 0x01, 0x01});  // line 11
  const std::string strtab("\0_Low\0_High\0", 12);
  std::vector<uint8_t> bytes =
      build_elf({{".text", 1, kCode, 0x1000, {0x90}},
                 {".text.far", 1, kCode, 0xFFFFFF00, {0x90}},
                 {".debug_line", 1, 0, 0, dwarf4_unit(program)},
                 {".symtab", 2, 0, 0, symbol_table({{1, 0x1000, 1}, {6, 0xFFFFFF00, 2}}), 5},
                 {".strtab", 3, 0, 0, {strtab.begin(), strtab.end()}}},
                0x1000);
  const Outcome outcome = in_child([&]() -> Expected<uint64_t> {
    auto map = SourceMap::parse(std::move(bytes));
    if (!map) return map.error();
    auto coverage = Coverage::create(*map);
    if (!coverage) return coverage.error();
    coverage->add_block(0x1000, 1);
    coverage->add_block(0xFFFFFF00, 1, 2);
    const CoverageSummary s = coverage->summary();
    return uint64_t{s.lines_found} * 100 + s.lines_hit * 10 + s.functions_hit;
  });
  EXPECT_EQ(outcome.error, "");
  EXPECT_EQ(outcome.count, 222u) << "2 lines found, 2 hit, 2 routines entered";
  EXPECT_LT(outcome.growth_kib, kBoundKib);
}

// An lcov tracefile has one record per line and no quoting: a file or routine name with a
// control character in it would write records of its own, so coverage refuses such a file.
TEST(HostileDebugFileTest, NamesThatWouldBreakTheTracefileAreRefused) {
  struct Case {
    std::string file, routine, error;
  };
  const std::vector<Case> cases = {
      {"a.c\nSF:/etc/passwd", "Main", "the file name \"a.c\\x0ASF:/etc/passwd\" holds a control"},
      {"a.c", "Main\nend_of_record", "the routine name \"Main\\x0Aend_of_record\" holds"},
      {"a\x1B[2J.c", "Main", "holds a control character (byte 1)"},
      {"a.c", "Main", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    std::vector<uint8_t> program = set_address(0x1000);
    program.insert(program.end(), {0x01, 0x21, 0x00, 0x01, 0x01});
    auto line = dwarf4_unit(program);
    // The unit's one file name, "a.c", sits after the fixed header: swap in the case's.
    const std::vector<uint8_t> a_c = {'a', '.', 'c', 0};
    auto at = std::search(line.begin(), line.end(), a_c.begin(), a_c.end());
    at = line.erase(at, at + 3);
    line.insert(at, c.file.begin(), c.file.end());
    put32(line, 6, get32(line, 6) + static_cast<uint32_t>(c.file.size()) - 3);
    put32(line, 0, static_cast<uint32_t>(line.size() - 4));
    const std::string strtab = std::string(1, '\0') + "_" + c.routine + std::string(1, '\0');
    auto map = SourceMap::parse(build_elf({{".text", 1, kCode, 0x1000, {0x90}},
                                           {".debug_line", 1, 0, 0, line},
                                           {".symtab", 2, 0, 0, symbol_table({{1, 0x1000, 1}}), 4},
                                           {".strtab", 3, 0, 0, {strtab.begin(), strtab.end()}}},
                                          0x1000));
    ASSERT_TRUE(map) << map.error().message;
    ASSERT_EQ(map->lines().size(), 1u);
    const auto coverage = Coverage::create(*map);
    if (c.error.empty()) {
      ASSERT_TRUE(coverage) << coverage.error().message;
      EXPECT_NE(coverage->lcov("t", "/src").find("SF:/src/a.c\nFN:1,Main\n"), std::string::npos);
    } else {
      EXPECT_ERROR_HAS(coverage, c.error);
    }
  }
}

// The debug file must hold the image's code where it says; one byte of other code, or code
// where the image has none, and it describes another image: refused, naming where.
TEST(HostileDebugFileTest, ADebugFileOfOtherCodeIsRefused) {
  const PeImage& image = released_image();
  const auto good = [] {
    auto bytes = read_input_file(PEIBOARD_DEBUG_ELF, SourceMap::kMaxFileSize, "debug file");
    if (!bytes) throw std::runtime_error(bytes.error().message);
    return std::move(bytes).value();
  }();
  const auto text = [&] {
    auto elf = ElfFile::parse(good);
    const ElfSection* s = elf->section(".text");
    return std::pair{s->offset, s->address};
  }();
  const size_t text_header = [&] {
    auto elf = ElfFile::parse(good);
    for (size_t i = 0; i < elf->sections().size(); ++i) {
      if (elf->sections()[i].name == ".text") return get32(good, 32) + 40 * i;
    }
    return size_t{0};
  }();
  PeImage moved = image;
  ASSERT_TRUE(moved.rebase(0xFFE00000));
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> edit;
    const PeImage* image;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"the build's own file", [](auto&) {}, &image, ""},
      {"the build's own file, the image moved", [](auto&) {}, &moved, ""},
      {"one code byte changed", [&](auto& b) { b[text.first + 0x10] ^= 0xFF; }, &image,
       "differs from the image's code at " + hex(text.second + 0x10, 8)},
      {"the code placed below the image",
       [&](auto& b) { put32(b, text_header + 12, text.second - 0x100000); }, &image,
       "lies outside the image"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto bytes = good;
    c.edit(bytes);
    auto map = SourceMap::parse(bytes);
    ASSERT_TRUE(map) << map.error().message;
    const auto same = debug_file_describes(*map, *c.image);
    if (c.error.empty()) {
      EXPECT_TRUE(same) << same.error().message;
    } else {
      EXPECT_ERROR_HAS(same, c.error);
      EXPECT_EQ(same.error().message.rfind(
                    "the debug file does not describe the image (its code differs): .text (", 0),
                0u);
    }
  }
}

}  // namespace
}  // namespace peiboard::testing
