// The inspector: every shipped form read whole, and each one-byte damage marked on the one part
// it lies in, with what the part holds and should hold, while the rest is still read.
#include "image_tree.h"

#include "built_files.h"
#include "bytes.h"
#include "format.h"

namespace peiboard::testing {
namespace {

struct Found {
  std::string kind;
  uint64_t offset;
  InspectProblem problem;
};

void collect(const InspectNode& node, std::vector<Found>& found) {
  for (const auto& p : node.problems) found.push_back({node.kind, node.offset, p});
  for (const auto& c : node.children) collect(c, found);
}

std::vector<Found> problems_of(const Inspection& inspection) {
  std::vector<Found> found;
  collect(inspection.root, found);
  return found;
}

std::string field(const InspectNode& node, const std::string& key) {
  for (const auto& [k, v] : node.fields) {
    if (k == key) return v;
  }
  return "(none)";
}

TEST(InspectTest, EveryShippedFormIsReadWholeAndIntact) {
  const struct {
    const std::vector<uint8_t>& bytes;
    const char* form;
    const std::vector<uint8_t>& image;
  } forms[] = {{pe32_bytes(), "PE32 image", pe32_bytes()},
               {te_bytes(), "TE image", te_bytes()},
               {ffs_bytes(), "FFS file", te_bytes()},
               {fv_bytes(), "firmware volume", te_bytes()}};
  for (const auto& f : forms) {
    const Inspection inspection = inspect(f.bytes);
    EXPECT_EQ(inspection.form, f.form);
    EXPECT_FALSE(inspection.root.broken()) << f.form;
    EXPECT_EQ(inspection.root.size, f.bytes.size()) << f.form;
    ASSERT_TRUE(inspection.image) << f.form;
    EXPECT_TRUE(std::equal(f.image.begin(), f.image.end(),
                           f.bytes.begin() + static_cast<ptrdiff_t>(inspection.image->first)))
        << f.form;
    EXPECT_EQ(inspection.image->second, f.image.size()) << f.form;
  }
}

TEST(InspectTest, TheVolumeTreeGivesEachPartItsOffsetAndSize) {
  const Inspection inspection = inspect(fv_bytes());
  const InspectNode& volume = inspection.root;
  EXPECT_EQ(field(volume, "file system"), "8C8CE578-8A3D-4F1C-9935-896185C32DD3 (FFS2)");
  ASSERT_EQ(volume.children.size(), 2u);
  const InspectNode& file = volume.children[0];
  EXPECT_EQ(file.offset, 0x48u);
  EXPECT_EQ(file.size, ffs_bytes().size());
  const InspectNode& free = volume.children[1];
  EXPECT_EQ(free.kind, "free space");
  EXPECT_EQ(free.offset, (0x48 + file.size + 7) / 8 * 8);
  EXPECT_EQ(free.offset + free.size, fv_bytes().size());
  std::vector<std::string> sections;
  uint64_t next = file.offset + 24;
  for (const auto& s : file.children) {
    sections.push_back(s.title);
    EXPECT_EQ(s.offset, next) << s.title << ": sections follow each other, 4-byte aligned";
    next = (s.offset + s.size + 3) / 4 * 4;
  }
  EXPECT_EQ(sections,
            (std::vector<std::string>{"PEI_DEPEX", "RAW", "TE", "USER_INTERFACE", "VERSION"}));
  const InspectNode& te = file.children[2].children.at(0);
  // The TE header sits where the image base plus the stripped bytes, less its own 40, put it.
  EXPECT_EQ(field(te, "image base"), "0xFFF00000");
  EXPECT_EQ(field(te, "adjusted base"), "0xFFF00148");
  EXPECT_EQ(te.offset, 0x148u);
  EXPECT_EQ(te.children.front().title, ".text");
}

TEST(InspectTest, EachDamageIsMarkedOnThePartItLiesIn) {
  const auto& fv = fv_bytes();
  const uint8_t data_checksum = fv[0x48 + 17];
  const struct {
    size_t at;
    uint8_t value;
    const char* kind;
    uint64_t part;
    const char* what;
    std::string should;  // empty: no one right value
    size_t problems;     // a byte under a checksum also breaks that checksum
  } damages[] = {
      // The volume's checksum word, low byte: the right word is the one the header had.
      {50, static_cast<uint8_t>(fv[50] ^ 1), "volume", 0, "checksum", hex(get16(fv, 50), 4), 1},
      {55, 1, "volume", 0, "revision", "2", 2},
      {0x48 + 16, static_cast<uint8_t>(fv[0x48 + 16] + 1), "file", 0x48, "header checksum",
       hex(fv[0x48 + 16], 2), 1},
      // A byte of code one higher: the data checksum should be one lower.
      {0x2000, static_cast<uint8_t>(fv[0x2000] + 1), "file", 0x48, "data checksum",
       hex(static_cast<uint8_t>(data_checksum - 1), 2), 1},
      {0x60, 0x02, "section", 0x60, "size", "", 2},
      {0x148, 0x00, "section", 0x144, "image signature", "0x5A56 (VZ)", 2},
      {0x8000, 0x00, "free space", 0x3470, "byte at 0x8000", "0xFF", 1},
  };
  for (const auto& d : damages) {
    auto bytes = fv;
    const uint8_t held = bytes[d.at];
    bytes[d.at] = d.value;
    const Inspection inspection = inspect(bytes);
    EXPECT_TRUE(inspection.root.broken()) << d.what;
    const auto found = problems_of(inspection);
    EXPECT_EQ(found.size(), d.problems) << d.what;
    const auto it = std::find_if(found.begin(), found.end(), [&](const Found& f) {
      return f.kind == d.kind && f.offset == d.part && f.problem.what == d.what;
    });
    ASSERT_NE(it, found.end()) << d.what << " is not marked on the " << d.kind;
    EXPECT_FALSE(it->problem.holds.empty()) << d.what;
    if (!d.should.empty()) {
      EXPECT_EQ(it->problem.should, d.should) << d.what;
    }
    bytes[d.at] = held;
    EXPECT_FALSE(inspect(bytes).root.broken()) << d.what << " undone";
  }
}

TEST(InspectTest, ATruncatedOrCutFileStillShowsWhatIsThere) {
  // The file's size field made larger than the volume: the file is marked and the walk stops.
  auto bytes = fv_bytes();
  bytes[0x48 + 22] = 0x7F;
  const Inspection big = inspect(bytes);
  const auto found = problems_of(big);
  ASSERT_EQ(found.size(), 2u) << "the size and the header checksum over it";
  EXPECT_EQ(found[0].problem.what, "header checksum");
  EXPECT_EQ(found[1].kind, "file");
  EXPECT_EQ(found[1].problem.what, "size");
  EXPECT_EQ(found[1].problem.holds, "0x7F3426");
  EXPECT_EQ(big.root.children.size(), 1u) << "no free space is claimed after a file cut short";
  // Half a volume: its length is marked, and the file inside is still read whole.
  const std::vector<uint8_t> half(fv_bytes().begin(), fv_bytes().begin() + 0x8000);
  const Inspection cut = inspect(half);
  const auto marked = problems_of(cut);
  ASSERT_FALSE(marked.empty());
  EXPECT_EQ(marked[0].problem.what, "length");
  EXPECT_EQ(marked[0].problem.holds, "0x10000");
  ASSERT_GE(cut.root.children.size(), 1u);
  EXPECT_FALSE(cut.root.children[0].broken()) << "the file lies whole in the first half";
  EXPECT_TRUE(cut.image);
}

}  // namespace
}  // namespace peiboard::testing
