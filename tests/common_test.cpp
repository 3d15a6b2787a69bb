// What every host part shares: GUIDs in their memory layout, little-endian fields, the input
// files the command line is willing to read and the output files it is willing to replace.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

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

std::string contents(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What an output path may hold before a write, and what must hold after it: the writer
// replaces a regular file or makes a new one, and leaves anything else (and whatever a link
// points to) as it was, with no temporary file left beside it.
TEST_F(InputFileTest, OutputReplacesOnlyARegularFileAndNeverWritesThroughALink) {
  const auto victim = dir / "victim";
  enum class Plant {
    kNothing,
    kRegular,
    kLinkToVictim,
    kLinkAtPartial,
    kFifo,
    kDevice,
    kDirectory
  };
  const struct {
    Plant plant;
    const char* says;  // nullptr: the write succeeds
  } cases[] = {{Plant::kNothing, nullptr},
               {Plant::kRegular, nullptr},
               {Plant::kLinkAtPartial, nullptr},
               {Plant::kLinkToVictim, "is a symbolic link"},
               {Plant::kFifo, "is not a regular file"},
               {Plant::kDevice, "is not a regular file"},
               {Plant::kDirectory, "is a directory"}};
  for (const auto& c : cases) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::ofstream(victim) << "victim";
    const auto out = dir / "out.info";
    // The names the folder holds after the write: no temporary file among them.
    std::set<std::string> expected{"victim", "out.info"};
    switch (c.plant) {
      case Plant::kNothing:
        break;
      case Plant::kRegular:
        std::ofstream(out) << "old";
        break;
      case Plant::kLinkToVictim:
        std::filesystem::create_symlink(victim, out);
        break;
      case Plant::kLinkAtPartial:
        // The name a writer with a fixed temporary name would open.
        std::filesystem::create_symlink(victim, dir / "out.info.partial");
        expected.insert("out.info.partial");
        break;
      case Plant::kFifo:
        ASSERT_EQ(::mkfifo(out.c_str(), 0600), 0);
        break;
      case Plant::kDevice:
        // The null device's node, where the system lets the test make one.
        if (::mknod(out.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) continue;
        break;
      case Plant::kDirectory:
        std::filesystem::create_directory(out);
        break;
    }
    const auto type = std::filesystem::symlink_status(out).type();
    auto written = write_output_file(out, std::string_view("new"));
    SCOPED_TRACE(static_cast<int>(c.plant));
    EXPECT_EQ(contents(victim), "victim");
    std::set<std::string> after;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
      after.insert(e.path().filename().string());
    }
    EXPECT_EQ(after, expected) << "a temporary file stayed, or a planted one went";
    if (!c.says) {
      ASSERT_TRUE(written) << written.error().message;
      EXPECT_EQ(contents(out), "new");
      continue;
    }
    if (written) {
      ADD_FAILURE() << "written over what is not a regular file";
      continue;
    }
    EXPECT_EQ(written.error().message.rfind(out.string() + ": " + c.says, 0), 0u)
        << written.error().message;
    EXPECT_EQ(std::filesystem::symlink_status(out).type(), type) << "what stood there was replaced";
  }
  // A new file only: any name taken, even by a dangling link, is left as it is.
  std::filesystem::create_symlink(dir / "nowhere", dir / "dangling");
  const struct {
    const char* name;
    Created result;
  } creations[] = {{"victim", Created::kNameTaken},
                   {"dangling", Created::kNameTaken},
                   {"fresh", Created::kWritten}};
  for (const auto& c : creations) {
    auto created = create_output_file(dir / c.name, "created");
    ASSERT_TRUE(created) << created.error().message;
    EXPECT_EQ(*created, c.result) << c.name;
  }
  EXPECT_EQ(contents(victim), "victim");
  EXPECT_FALSE(std::filesystem::exists(dir / "nowhere"));
  EXPECT_EQ(contents(dir / "fresh"), "created");
}

}  // namespace
}  // namespace peiboard
