// The lld-link map: the addresses of the names, the preferred load address, and rows that
// are not what a map holds, reported with the line they are on.
#include "link_map.h"

#include <algorithm>

#include "built_files.h"

namespace peiboard::testing {
namespace {

constexpr const char* kHead =
    " QuarnelPeiSystemBoardOverride\n"
    "\n"
    " Preferred load address is 00000000fff00000\n"
    "\n"
    " Start         Length     Name                   Class\n"
    " 0001:00000000 00001c90H .text                   CODE\n"
    "\n"
    "  Address         Publics by Value              Rva+Base               Lib:Object\n"
    "\n";  // the next line is line 10

Expected<LinkMap> with_rows(const std::string& rows) {
  return parse_link_map(std::string(kHead) + rows, "m.map");
}

TEST(LinkMapTest, TheBuiltMapNamesTheEntryPointAtTheImagesEntry) {
  auto map = parse_link_map(map_text(), "built.map");
  ASSERT_TRUE(map) << map.error().message;
  EXPECT_EQ(map->preferred_base, pe32().image_base());
  const auto entry = std::find_if(map->symbols.begin(), map->symbols.end(), [](const Symbol& s) {
    return s.name == "SystemBoardOverrideEntryPoint";
  });
  ASSERT_NE(entry, map->symbols.end());
  EXPECT_EQ(entry->address, pe32().entry_point());
  EXPECT_TRUE(
      std::is_sorted(map->symbols.begin(), map->symbols.end(),
                     [](const Symbol& a, const Symbol& b) { return a.address < b.address; }));
  // C++-decorated string literals are not routines.
  for (const auto& s : map->symbols) EXPECT_NE(s.name.substr(0, 2), "??") << s.name;
}

TEST(LinkMapTest, ReadsRowsOfBothTablesAndSkipsNotes) {
  auto map = with_rows(
      " 0001:00000010       _Second                    00000000fff00230     b.obj\n"
      " 0001:00000000       _First                     00000000fff00220     a.obj\n"
      " 0002:00000000       ??_C@_0BB@x@               00000000fff01000     a.obj\n"
      "\n"
      " entry point at         0001:00001098\n"
      "\n"
      " Static symbols\n"
      "\n"
      " 0002:00000ea4       _switch.table.X            00000000ffffffff     c.obj\n");
  ASSERT_TRUE(map) << map.error().message;
  ASSERT_EQ(map->symbols.size(), 3u);
  EXPECT_EQ(map->symbols[0].name, "First");
  EXPECT_EQ(map->symbols[0].address, 0xFFF00220u);
  EXPECT_EQ(map->symbols[1].name, "Second");
  EXPECT_EQ(map->symbols[2].name, "switch.table.X");
  EXPECT_EQ(map->symbols[2].address, 0xFFFFFFFFu);  // the last 32-bit address is one
}

TEST(LinkMapTest, AddressesPast32BitsAreRejectedWithTheirLine) {
  EXPECT_ERROR_HAS(with_rows(" 0001:00000000       _A   0000000100000000     a.obj\n"),
                   "m.map:10: address '0000000100000000' does not fit in 32 bits");
  EXPECT_ERROR_HAS(with_rows(" 0001:00000000       _A   00000000fff00220     a.obj\n"
                             " 0001:00000004       _B   000000000fff002200   a.obj\n"),
                   "m.map:11: address '000000000fff002200' is longer than 16 hex digits");
  EXPECT_ERROR_HAS(parse_link_map(" Preferred load address is 10000000000000000\n", "p.map"),
                   "p.map:1: address");
}

TEST(LinkMapTest, MalformedRowsAreRejectedWithTheirLine) {
  EXPECT_ERROR_HAS(with_rows(" 0001:0000zz00       _A   00000000fff00220     a.obj\n"),
                   "m.map:10: '0001:0000zz00' is not a section:offset pair");
  EXPECT_ERROR_HAS(with_rows(" 0001:00000000       _A\n"),
                   "m.map:10: symbol row without a name and an address");
  EXPECT_ERROR_HAS(with_rows(" 0001:00000000       _A   fff0022g     a.obj\n"),
                   "m.map:10: 'fff0022g' is not a hexadecimal address");
  EXPECT_ERROR_HAS(parse_link_map(" Preferred load address is\n", "p.map"),
                   "p.map:1: malformed preferred load address line");
}

TEST(LinkMapTest, SymbolsNeedThePreferredLoadAddress) {
  const std::string rows =
      "  Address         Publics by Value\n"
      "\n"
      " 0001:00000000       _A   00000000fff00220     a.obj\n";
  EXPECT_ERROR_HAS(parse_link_map(rows, "n.map"), "n.map:3: symbol rows, but the map has no");
  auto empty = parse_link_map("", "e.map");
  ASSERT_TRUE(empty);
  EXPECT_FALSE(empty->preferred_base);
}

TEST(LinkMapTest, RowsOfTheSectionTableAreNotSymbols) {
  auto map = parse_link_map(std::string(kHead, std::string_view(kHead).find("  Address")), "s.map");
  ASSERT_TRUE(map) << map.error().message;
  EXPECT_TRUE(map->symbols.empty());
}

}  // namespace
}  // namespace peiboard::testing
