// The firmware file system: dependency expressions, sections, files and volumes as the
// writers lay them out and as the readers accept or refuse them.
#include "ffs.h"

#include <functional>
#include <random>

#include "built_files.h"
#include "bytes.h"
#include "layouts.h"

namespace peiboard::testing {
namespace {

constexpr Guid kName = guid_constant("760DFC9B-F12F-45E5-B1F2-1C68605B3439");
constexpr Guid kOther = guid_constant("11111111-2222-3333-4444-555555555555");

std::vector<uint8_t> section(uint8_t type, std::vector<uint8_t> body) {
  return *make_section(type, body);
}

std::vector<uint8_t> file_of(std::vector<std::vector<uint8_t>> sections, uint8_t attributes = 0x40,
                             const Guid& name = kName) {
  return *make_ffs_file(name, layout::kFileTypePeim, attributes, sections);
}

TEST(DepexTest, TheModulesExpressionIsPushPcdPpiEnd) {
  const std::vector<DepexOp> ops{{layout::kDepexPush, kPcdPpiGuid}, {layout::kDepexEnd, {}}};
  // The PCD PPI's GUID in its stored (mixed-endian) form, written out by hand.
  const std::vector<uint8_t> expected{0x02, 0x58, 0x1C, 0xE8, 0x06, 0xD7, 0x4A, 0xBC, 0x44,
                                      0x83, 0x90, 0xF1, 0x02, 0x65, 0xF7, 0x24, 0x80, 0x08};
  EXPECT_EQ(encode_depex(ops), expected);
  auto decoded = decode_depex(expected);
  ASSERT_TRUE(decoded) << decoded.error().message;
  EXPECT_EQ(*decoded, ops);
  EXPECT_EQ(depex_text(*decoded), "PUSH 06E81C58-4AD7-44BC-8390-F10265F72480 (PCD PPI) END");
}

TEST(DepexTest, WellFormedExpressionsRoundTrip) {
  using V = std::vector<DepexOp>;
  const DepexOp a{layout::kDepexPush, kName}, b{layout::kDepexPush, kOther};
  const DepexOp op_and{layout::kDepexAnd, {}}, op_or{layout::kDepexOr, {}},
      op_not{layout::kDepexNot, {}}, end{layout::kDepexEnd, {}}, yes{layout::kDepexTrue, {}},
      no{layout::kDepexFalse, {}};
  for (const V& ops : {V{a, b, op_and, end}, V{a, op_not, end}, V{yes, end}, V{no, end},
                       V{a, b, op_or, yes, op_and, op_not, end}}) {
    auto decoded = decode_depex(encode_depex(ops));
    ASSERT_TRUE(decoded) << depex_text(ops) << ": " << decoded.error().message;
    EXPECT_EQ(*decoded, ops);
  }
}

TEST(DepexTest, MalformedExpressionsNameTheirOffset) {
  auto bytes = [](std::vector<uint8_t> b) { return b; };
  std::vector<uint8_t> push = encode_depex(std::vector<DepexOp>{{layout::kDepexPush, kName}});
  EXPECT_ERROR_HAS(decode_depex(push), "offset 17: no END");
  EXPECT_ERROR_HAS(decode_depex({push.begin(), push.end() - 1}),
                   "offset 0: PUSH without a whole GUID");
  auto two = push;
  two.insert(two.end(), push.begin(), push.end());
  two.push_back(layout::kDepexEnd);
  EXPECT_ERROR_HAS(decode_depex(two), "offset 34: END leaves 2 values instead of one");
  auto one_and = push;
  one_and.push_back(layout::kDepexAnd);
  EXPECT_ERROR_HAS(decode_depex(one_and), "offset 17: an operator without its operands");
  EXPECT_ERROR_HAS(decode_depex(bytes({0x08})), "offset 0: END leaves 0 values");
  EXPECT_ERROR_HAS(decode_depex(bytes({0x06, 0x08, 0x08})), "offset 1: 1 bytes after END");
  EXPECT_ERROR_HAS(decode_depex(bytes({0x06, 0x09, 0x08})),
                   "offset 1: opcode 0x09 is not a PEI dependency opcode");
  EXPECT_ERROR_HAS(decode_depex(bytes({0x05, 0x08})), "offset 0: an operator without");
  EXPECT_ERROR_HAS(decode_depex(bytes({})), "no END");
}

TEST(DepexTest, EvaluationOverTheInstalledPpis) {
  // Raw PEI opcodes: PUSH 02, AND 03, OR 04, NOT 05, TRUE 06, FALSE 07, END 08.
  const auto push = [](const Guid& g) {
    std::vector<uint8_t> b{0x02};
    b.insert(b.end(), g.begin(), g.end());
    return b;
  };
  const auto cat = [](std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> b;
    for (const auto& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
  };
  const std::vector<uint8_t> a = push(kName), b = push(kOther), op_and{0x03}, op_or{0x04},
                             op_not{0x05}, yes{0x06}, no{0x07}, end{0x08};
  const struct {
    std::vector<uint8_t> bytes;
    bool a_installed, b_installed, holds;
    std::vector<Guid> missing;
  } cases[] = {
      {cat({a, end}), true, false, true, {}},
      {cat({a, end}), false, true, false, {kName}},
      {cat({a, b, op_and, end}), true, true, true, {}},
      {cat({a, b, op_and, end}), true, false, false, {kOther}},
      {cat({a, b, op_or, end}), false, true, true, {kName}},
      {cat({a, b, op_or, end}), false, false, false, {kName, kOther}},
      {cat({a, op_not, end}), false, false, true, {kName}},
      {cat({a, op_not, end}), true, false, false, {}},
      {cat({yes, end}), false, false, true, {}},
      {cat({no, end}), true, true, false, {}},
      {cat({no, op_not, a, op_and, end}), true, false, true, {}},
      {cat({a, a, op_or, yes, op_and, end}), false, false, false, {kName}},
  };
  for (const auto& c : cases) {
    const auto ops = decode_depex(c.bytes);
    ASSERT_TRUE(ops) << ops.error().message;
    SCOPED_TRACE(depex_text(*ops) + (c.a_installed ? " A" : "") + (c.b_installed ? " B" : ""));
    const DepexVerdict v = evaluate_depex(*ops, [&](const Guid& g) {
      return g == kName ? c.a_installed : g == kOther && c.b_installed;
    });
    EXPECT_EQ(v.holds, c.holds);
    EXPECT_EQ(v.missing, c.missing);
  }
}

TEST(FfsFileTest, HeaderAndDataChecksumsAsPiDefinesThem) {
  const auto file = file_of({section(layout::kSectionRaw, {1, 2, 3, 4, 5})});
  ASSERT_EQ(file.size(), 24u + 4 + 5);
  EXPECT_TRUE(std::equal(kName.begin(), kName.end(), file.begin()));
  EXPECT_EQ(file[18], layout::kFileTypePeim);
  EXPECT_EQ(file[19], 0x40);
  EXPECT_EQ(file[20] | file[21] << 8 | file[22] << 16, 33);
  EXPECT_EQ(file[23], 0xF8) << "header, header-valid and data-valid, erase polarity 1";
  // Header: the 24 bytes sum to zero with the state and the file checksum taken as zero.
  EXPECT_EQ(static_cast<uint8_t>(sum8({file.data(), 24}) - file[23] - file[17]), 0);
  // Data: the file checksum makes the data sum to zero.
  EXPECT_EQ(static_cast<uint8_t>(sum8({file.data() + 24, file.size() - 24}) + file[17]), 0);
  const auto unchecked = file_of({section(layout::kSectionRaw, {1, 2, 3, 4, 5})}, 0);
  EXPECT_EQ(unchecked[17], 0xAA);
  EXPECT_EQ(static_cast<uint8_t>(sum8({unchecked.data(), 24}) - unchecked[23] - unchecked[17]), 0);
  EXPECT_EQ((*make_ffs_file(kName, 6, 0x40, {}, false))[23], 0x07) << "erase polarity 0";
}

TEST(FfsFileTest, SectionsStartFourByteAlignedAndReadBack) {
  const auto depex = encode_depex(std::vector<DepexOp>{{layout::kDepexTrue, {}}, {8, {}}});
  const auto file =
      file_of({section(layout::kSectionPeiDepex, depex), section(layout::kSectionRaw, {9}),
               section(layout::kSectionUserInterface, ucs2_text("Board")),
               section(layout::kSectionVersion, version_body(0x1234, "2.5"))});
  auto parsed = parse_ffs_file(file);
  ASSERT_TRUE(parsed) << parsed.error().message;
  ASSERT_EQ(parsed->sections.size(), 4u);
  const uint32_t offsets[] = {24, 32, 40, 56};  // 6, 5, 16 bytes each, padded to 4
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(parsed->sections[i].offset, offsets[i]) << i;
  EXPECT_EQ(file[30], 0) << "padding between sections is zero";
  EXPECT_EQ(parsed->sections[2].size, 4u + 12);
  EXPECT_EQ(parsed->ui_name, "Board");
  EXPECT_EQ(parsed->build_number, 0x1234);
  EXPECT_EQ(parsed->version, "2.5");
  EXPECT_EQ(depex_text(*parsed->depex), "TRUE END");
  EXPECT_FALSE(parsed->image);
  EXPECT_TRUE(parsed->valid_state());
  EXPECT_EQ(parsed->state_text(), "valid");
}

TEST(FfsFileTest, EveryChangedByteOfTheBuiltFileIsNoticed) {
  // Both checksums together cover every byte but the state, whose change the state check
  // notices instead.
  const auto& good = ffs_bytes();
  ASSERT_TRUE(parse_ffs_file(good));
  for (size_t at = 0; at < good.size(); ++at) {
    auto bytes = good;
    bytes[at] ^= 0x01;
    auto file = parse_ffs_file(bytes);
    if (at == 23) {
      ASSERT_TRUE(file);
      EXPECT_FALSE(file->valid_state());
      continue;
    }
    ASSERT_FALSE(file) << "a changed byte at " << at << " went unnoticed";
  }
}

TEST(FfsFileTest, CorruptFilesAreRejectedWithTheirPlace) {
  const auto good = file_of({section(layout::kSectionRaw, {1, 2, 3, 4})});
  auto with = [&](std::function<void(std::vector<uint8_t>&)> edit, bool fix_header = true) {
    auto b = good;
    edit(b);
    if (fix_header) {  // keep the header checksum right so the reader looks further
      b[16] = 0;
      b[16] = static_cast<uint8_t>(-(sum8({b.data(), 24}) - b[23] - b[17]));
    }
    return b;
  };
  EXPECT_ERROR_HAS(parse_ffs_file(with([](auto& b) { b[16] ^= 1; }, false)),
                   "file at 0x0 (760DFC9B-F12F-45E5-B1F2-1C68605B3439): header checksum");
  EXPECT_ERROR_HAS(parse_ffs_file(with([](auto& b) { b[30] ^= 1; })), "data checksum");
  EXPECT_ERROR_HAS(parse_ffs_file(with([](auto& b) { b[19] = 0; })),
                   "file checksum 0x");  // checksum byte without the attribute must be 0xAA
  EXPECT_ERROR_HAS(parse_ffs_file(with([](auto& b) { b[20] = 33; })), "size 33 runs past the 32");
  EXPECT_ERROR_HAS(parse_ffs_file(with([](auto& b) { b[20] = 23; })),
                   "size 23 is smaller than its header");
  EXPECT_ERROR_HAS(parse_ffs_file(with([](auto& b) { b[19] |= 0x01; })), "large files");
  EXPECT_ERROR_HAS(parse_ffs_file({good.begin(), good.begin() + 23}), "truncated header (23 of 24");
  auto section_edit = [&](std::function<void(std::vector<uint8_t>&)> edit) {
    return with([&](auto& b) {
      edit(b);
      b[17] = 0;
      b[17] = static_cast<uint8_t>(-sum8({b.data() + 24, b.size() - 24}));
    });
  };
  EXPECT_ERROR_HAS(parse_ffs_file(section_edit([](auto& b) { b[24] = 9; })),
                   "section at file offset 0x18: size 9 runs past the 8 bytes left");
  EXPECT_ERROR_HAS(parse_ffs_file(section_edit([](auto& b) { b[24] = 3; })),
                   "section at file offset 0x18: size 3 is smaller than its header");
  EXPECT_ERROR_HAS(parse_ffs_file(section_edit([](auto& b) { b[24] = b[25] = b[26] = 0xFF; })),
                   "extended section sizes are not read");
}

TEST(FfsFileTest, DecodedSectionsMustBeWellFormedAndSingle) {
  const auto te = section(layout::kSectionTe, {'V', 'Z'});
  EXPECT_ERROR_HAS(parse_ffs_file(file_of({te, te})),
                   "section at file offset 0x20: a second image section");
  const auto ui = section(layout::kSectionUserInterface, {'A', 0});  // no NUL code unit
  EXPECT_ERROR_HAS(parse_ffs_file(file_of({ui})), "user interface name: the string has no NUL");
  EXPECT_ERROR_HAS(parse_ffs_file(file_of({section(layout::kSectionVersion, {1})})),
                   "version section without a build number");
  const auto depex = section(layout::kSectionPeiDepex, {0x06, 0x06, 0x08});
  EXPECT_ERROR_HAS(parse_ffs_file(file_of({depex})),
                   "section at file offset 0x18: dependency expression, offset 2: END leaves 2");
  const auto one = section(layout::kSectionPeiDepex, {0x06, 0x08});
  EXPECT_ERROR_HAS(parse_ffs_file(file_of({one, one})), "a second PEI_DEPEX section");
}

TEST(VolumeTest, LayoutOfAnEmptyAndAFullVolume) {
  const auto file = file_of({section(layout::kSectionRaw, {1, 2, 3})});  // 31 bytes
  const std::vector<std::vector<uint8_t>> files{file, file};
  const auto volume = *make_volume(0x2000, 0x1000, files);
  ASSERT_EQ(volume.size(), 0x2000u);
  EXPECT_TRUE(std::all_of(volume.begin(), volume.begin() + 16, [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(
      std::equal(kFfs2FileSystemGuid.begin(), kFfs2FileSystemGuid.end(), volume.begin() + 16));
  EXPECT_EQ(get64(volume, 32), 0x2000u);
  EXPECT_EQ(get32(volume, 40), 0x4856465Fu);  // "_FVH"
  EXPECT_EQ(get32(volume, 44), 0x0004FEFFu);
  EXPECT_EQ(get16(volume, 48), 72);
  EXPECT_EQ(sum16({volume.data(), 72}), 0) << "the header's 16-bit words sum to zero";
  EXPECT_EQ(get16(volume, 52), 0);
  EXPECT_EQ(volume[55], 2);
  EXPECT_EQ(get32(volume, 56), 2u);
  EXPECT_EQ(get32(volume, 60), 0x1000u);
  EXPECT_EQ(get64(volume, 64), 0u);
  EXPECT_TRUE(std::equal(file.begin(), file.end(), volume.begin() + 72));
  EXPECT_EQ(volume[72 + 31], 0xFF) << "the gap to the next 8-byte boundary is erased";
  EXPECT_TRUE(std::equal(file.begin(), file.end(), volume.begin() + 104));
  EXPECT_TRUE(std::all_of(volume.begin() + 135, volume.end(), [](uint8_t b) { return b == 0xFF; }));
  auto parsed = parse_volume(volume);
  ASSERT_TRUE(parsed) << parsed.error().message;
  ASSERT_EQ(parsed->files.size(), 2u);
  EXPECT_EQ(parsed->files[1].offset, 104u);
  EXPECT_EQ(parsed->free_space_offset, 136u);
  EXPECT_TRUE(parsed->erase_polarity());

  EXPECT_TRUE(parse_volume(*make_volume(0x1000, 0x1000, {})));
  EXPECT_ERROR_HAS(
      make_volume(0x1000, 0x1000, std::vector<std::vector<uint8_t>>(0x1000 / 32, file)),
      "the files need");
  EXPECT_ERROR_HAS(make_volume(0x1800, 0x1000, files), "not a whole number of");
}

TEST(VolumeTest, EveryChangedHeaderByteIsNoticed) {
  const auto& good = fv_bytes();
  for (size_t at = 0; at < 72; ++at) {
    auto bytes = good;
    bytes[at] ^= 0x80;
    EXPECT_FALSE(parse_volume(bytes)) << "a changed header byte at " << at << " went unnoticed";
  }
}

TEST(VolumeTest, LyingVolumesAreRejectedWithWhatLies) {
  // Edits with the header checksum set right again, so that the reader looks at the field.
  const auto& good = fv_bytes();
  auto with = [&](std::function<void(std::vector<uint8_t>&)> edit) {
    auto b = good;
    edit(b);
    put16(b, 50, 0);
    put16(b, 50, static_cast<uint16_t>(-sum16({b.data(), std::min<size_t>(get16(b, 48), 72)})));
    return b;
  };
  EXPECT_ERROR_HAS(parse_volume(with([](auto& b) { put64(b, 32, 0x10008); })),
                   "volume length 0x10008 runs past the 65536 bytes given");
  EXPECT_ERROR_HAS(parse_volume(with([](auto& b) { put16(b, 48, 63); })), "header length 63");
  EXPECT_ERROR_HAS(parse_volume(with([](auto& b) { put16(b, 48, 56); })), "header length 56");
  EXPECT_ERROR_HAS(parse_volume(with([](auto& b) { b[55] = 1; })), "header revision 1 is not 2");
  EXPECT_ERROR_HAS(parse_volume(with([](auto& b) {
                     std::copy(kFfs3FileSystemGuid.begin(), kFfs3FileSystemGuid.end(),
                               b.begin() + 16);
                   })),
                   "FFS3 volumes are not read");
  EXPECT_ERROR_HAS(parse_volume(with([](auto& b) { b[16] ^= 1; })), "is not FFS2");
  EXPECT_ERROR_HAS(parse_volume(with([](auto& b) { put32(b, 56, 15); })),
                   "the block map covers 0xF000 bytes, the volume is 0x10000");
  EXPECT_ERROR_HAS(parse_volume(with([](auto& b) { put32(b, 64, 1); })),
                   "block map entry at 0x40 has a zero count or length");
  EXPECT_ERROR_HAS(parse_volume(with([](auto& b) { put16(b, 52, 0x8000); })),
                   "extension header at 0x8000: size 4294967295");
  EXPECT_ERROR_HAS(parse_volume(with([](auto& b) { put16(b, 52, 0x40); })),
                   "extension header offset 0x40 lies outside");
  // Blocks whose 64-bit sum wraps to the volume's length: 4 x 2^62 + 0x10000 bytes.
  auto wrapping = good;
  const uint16_t header_length = 56 + 6 * 8;
  put16(wrapping, 48, header_length);
  for (uint32_t i = 0; i < 4; ++i) {
    put32(wrapping, 56 + 8 * i, 0x80000000);
    put32(wrapping, 60 + 8 * i, 0x80000000);
  }
  put32(wrapping, 88, 1);
  put32(wrapping, 92, 0x10000);
  put64(wrapping, 96, 0);
  put16(wrapping, 50, 0);
  put16(wrapping, 50, static_cast<uint16_t>(-sum16({wrapping.data(), header_length})));
  EXPECT_ERROR_HAS(parse_volume(wrapping),
                   "block map entry at 0x38 (2147483648 blocks of 0x80000000) runs past the "
                   "volume's 0x10000 bytes");
  auto dirty = good;
  dirty[0x8001] = 0xFE;
  EXPECT_ERROR_HAS(parse_volume(dirty),
                   "byte 0xFE at 0x8001 in the free space is not erased (0xFF)");
  auto overrun = good;  // the file claims to run past the volume: its header checksum too
  overrun[0x48 + 22] = 0x10;
  EXPECT_ERROR_HAS(parse_volume(overrun), "file at 0x48");
  EXPECT_ERROR_HAS(parse_volume({good.begin(), good.begin() + 40}), "no _FVH signature");
  EXPECT_ERROR_HAS(parse_volume({good.begin(), good.end() - 1}), "runs past the 65535 bytes");
}

TEST(VolumeTest, RandomDamageIsReadWithinBounds) {
  std::mt19937 random(7);
  const auto& good = fv_bytes();
  for (int round = 0; round < 1500; ++round) {
    auto bytes = good;
    // Mostly the headers and sections, where the sizes are.
    const size_t span = round % 4 == 0 ? bytes.size() : 0x200;
    for (int flips = 1 + round % 3; flips > 0; --flips) {
      bytes[random() % span] = static_cast<uint8_t>(random());
    }
    if (round % 5 == 0) bytes.resize(random() % bytes.size());
    // Checksums are set right again half the time, so the reader goes on past them.
    if (round % 2 && bytes.size() >= 72) {
      put16(bytes, 50, 0);
      put16(bytes, 50, static_cast<uint16_t>(-sum16({bytes.data(), 72})));
    }
    auto volume = parse_volume(bytes);
    if (!volume) continue;
    for (const auto& f : volume->files) (void)f.state_text();
  }
}

}  // namespace
}  // namespace peiboard::testing
