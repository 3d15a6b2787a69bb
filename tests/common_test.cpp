// What every host part shares: GUIDs in their memory layout, little-endian fields, and the
// input files the command line is willing to read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "bytes.h"
#include "files.h"
#include "guid.h"

namespace peiboard {
namespace {

TEST(GuidTest, TextFormRoundTripsThroughTheMemoryLayout) {
  constexpr Guid g = guid_constant("1E2ACC41-E26A-483D-AFC7-A056C34E087B");
  EXPECT_EQ(g[0], 0x41);  // the first field is little-endian
  EXPECT_EQ(g[3], 0x1E);
  EXPECT_EQ(g[4], 0x6A);  // so are the second and the third
  EXPECT_EQ(g[7], 0x48);
  EXPECT_EQ(g[8], 0xAF);  // the last eight bytes stay in the order written
  EXPECT_EQ(g[15], 0x7B);
  EXPECT_EQ(guid_text(g), "1E2ACC41-E26A-483D-AFC7-A056C34E087B");
  EXPECT_EQ(parse_guid("1e2acc41-e26a-483d-afc7-a056c34e087b"), g);
}

TEST(GuidTest, OtherShapesAreRejected) {
  for (const char* text :
       {"", "1E2ACC41E26A483DAFC7A056C34E087B", "1E2ACC41-E26A-483D-AFC7-A056C34E087",
        "1E2ACC41-E26A-483D-AFC7-A056C34E087BB", "1E2ACC41-E26A-483D-AFC7_A056C34E087B",
        "1E2ACC4G-E26A-483D-AFC7-A056C34E087B"}) {
    EXPECT_FALSE(parse_guid(text)) << text;
  }
}

TEST(BytesTest, LittleEndianFieldsAtAnyOffset) {
  std::vector<uint8_t> b(11, 0);
  put16(b, 1, 0xBEEF);
  put32(b, 3, 0x12345678);
  EXPECT_EQ(b[1], 0xEF);
  EXPECT_EQ(b[3], 0x78);
  EXPECT_EQ(get16(b, 1), 0xBEEF);
  EXPECT_EQ(get32(b, 3), 0x12345678u);
  EXPECT_EQ(get64(b, 1), 0x00123456'78BEEFull);
  EXPECT_EQ(le_words(std::vector<uint32_t>{0x04030201, 0x08070605}),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

class InputFileTest : public ::testing::Test {
 protected:
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("input_file_test_" + std::to_string(::getpid()));
  void SetUp() override { std::filesystem::create_directories(dir); }
  void TearDown() override { std::filesystem::remove_all(dir); }
};

TEST_F(InputFileTest, ReadsARegularFileWhole) {
  std::ofstream(dir / "a.bin", std::ios::binary) << "abc";
  auto bytes = read_input_file(dir / "a.bin", 3, "test file");
  ASSERT_TRUE(bytes) << bytes.error().message;
  EXPECT_EQ(*bytes, (std::vector<uint8_t>{'a', 'b', 'c'}));
}

TEST_F(InputFileTest, RefusesWhatIsNotABoundedRegularFile) {
  std::ofstream(dir / "big.bin", std::ios::binary) << "abcd";
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const struct {
    std::filesystem::path path;
    const char* says;
  } cases[] = {{dir / "big.bin", "more than the 3"},        {dir, "is a directory"},
               {"/dev/zero", "is not a regular file"},      {dir / "fifo", "is not a regular file"},
               {dir / "none", "cannot open the test file"}, {"", "an empty path"}};
  for (const auto& c : cases) {
    auto bytes = read_input_file(c.path, 3, "test file");
    ASSERT_FALSE(bytes) << c.path;
    EXPECT_NE(bytes.error().message.find(c.says), std::string::npos) << bytes.error().message;
    EXPECT_EQ(bytes.error().message.rfind(c.path.string(), 0), 0u) << bytes.error().message;
  }
}

}  // namespace
}  // namespace peiboard
