// The PE32 and TE readers, base relocations and the TE conversion, on the built image and on
// copies of it with lying headers.
#include <functional>
#include <random>

#include "built_files.h"
#include "bytes.h"
#include "layouts.h"

namespace peiboard::testing {
namespace {

// Field offsets in the built PE32 file.
struct PeOffsets {
  uint32_t pe, coff, opt, dirs, table;
  explicit PeOffsets(std::span<const uint8_t> b)
      : pe(get32(b, layout::kDosNewHeaderOffset)),
        coff(pe + 4),
        opt(coff + 20),
        dirs(opt + 96),
        table(opt + get16(b, coff + offsetof(layout::CoffFileHeader, size_of_optional_header))) {}
  uint32_t section(uint32_t index, size_t field) const {
    return table + 40 * index + static_cast<uint32_t>(field);
  }
};

std::vector<uint8_t> te_of(const PeImage& image) {
  auto te = image.to_te();
  if (!te) throw std::runtime_error(te.error().message);
  return std::move(te).value();
}

PeImage parsed(std::vector<uint8_t> bytes) {
  auto image = PeImage::parse(std::move(bytes));
  if (!image) throw std::runtime_error(image.error().message);
  return std::move(image).value();
}

// Memory from the first section on: what executes, whatever headers precede it.
std::vector<uint8_t> sections_in_memory(const PeImage& image) {
  const auto memory = image.memory_layout();
  return {memory.begin() + image.sections().front().virtual_address, memory.end()};
}

TEST(TeFormTest, ReplacesTheHeadersBeforeTheSectionTableAndKeepsTheRest) {
  const PeImage pe = pe32();
  const PeOffsets at(pe32_bytes());
  const auto te = te_of(pe);
  ASSERT_EQ(te.size(), pe32_bytes().size() - at.table + 40);
  EXPECT_TRUE(std::equal(te.begin() + 40, te.end(), pe32_bytes().begin() + at.table));
  EXPECT_EQ(get16(te, 0), 0x5A56);
  EXPECT_EQ(get16(te, 2), PeImage::kMachineI386);
  EXPECT_EQ(te[4], pe.sections().size());
  EXPECT_EQ(te[5], PeImage::kSubsystemEfiBootServiceDriver);
  EXPECT_EQ(get16(te, 6), at.table);
  EXPECT_EQ(get32(te, 8), pe.entry_rva());
  EXPECT_EQ(get32(te, 12), pe.base_of_code());
  EXPECT_EQ(get64(te, 16), pe.image_base());
  EXPECT_EQ(get32(te, 24), pe.relocation_directory().rva);
  EXPECT_EQ(get32(te, 28), pe.relocation_directory().size);
  EXPECT_NE(pe.relocation_directory().size, 0u);
  EXPECT_EQ(get32(te, 32), pe.debug_directory().rva);
  EXPECT_EQ(get32(te, 36), pe.debug_directory().size);
}

TEST(TeFormTest, ReadsBackAsTheSameImageInMemory) {
  const PeImage pe = pe32();
  const PeImage te = parsed(te_of(pe));
  EXPECT_EQ(te.format(), ImageFormat::kTe);
  EXPECT_EQ(te.file_rva(), te.stripped_size() - 40u);
  EXPECT_EQ(te.image_base(), pe.image_base());
  EXPECT_EQ(te.entry_point(), pe.entry_point());
  EXPECT_EQ(te.size_of_image(), pe.size_of_image());
  EXPECT_EQ(te.section_alignment(), pe.section_alignment());
  ASSERT_EQ(te.sections().size(), pe.sections().size());
  for (size_t i = 0; i < pe.sections().size(); ++i) {
    const auto &a = pe.sections()[i], &b = te.sections()[i];
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.virtual_address, b.virtual_address);
    EXPECT_EQ(a.raw_size, b.raw_size);
    EXPECT_EQ(a.raw_offset - te.file_rva(), b.raw_offset);
    EXPECT_EQ(a.characteristics, b.characteristics);
  }
  EXPECT_EQ(sections_in_memory(te), sections_in_memory(pe));
  // The TE header lies where its RVA says, followed by the section table.
  const auto memory = te.memory_layout();
  EXPECT_TRUE(std::equal(te.file_bytes().begin(), te.file_bytes().begin() + 40 + 40 * 4,
                         memory.begin() + te.file_rva()));
  EXPECT_TRUE(te.check().empty()) << "without names the header's entry point is the entry";
}

TEST(TeFormTest, DebugEntriesPointAtTheirDataInTheTeFile) {
  // A debug directory in .rdata whose one entry points at data 16 bytes further on.
  auto bytes = pe32_bytes();
  const PeOffsets at(bytes);
  const PeImage pe = pe32();
  const PeSection& rdata = pe.sections()[1];
  ASSERT_EQ(rdata.name, ".rdata");
  put32(bytes, at.dirs + 8 * layout::kDirectoryDebug, rdata.virtual_address);
  put32(bytes, at.dirs + 8 * layout::kDirectoryDebug + 4, 28);
  put32(bytes, rdata.raw_offset + 20, 16);                     // size of data
  put32(bytes, rdata.raw_offset + 24, rdata.raw_offset + 28);  // file offset of data
  const PeImage with_debug = parsed(bytes);
  const auto te = te_of(with_debug);
  const uint32_t bias = at.table - 40;  // TE offset = PE offset - bias
  EXPECT_EQ(get32(te, 32), rdata.virtual_address);
  EXPECT_EQ(get32(te, 36), 28u);
  EXPECT_EQ(get32(te, rdata.raw_offset - bias + 24), rdata.raw_offset + 28 - bias);
  // Data in the stripped headers cannot be reached from a TE file.
  put32(bytes, rdata.raw_offset + 24, 0x100);
  EXPECT_ERROR_HAS(parsed(bytes).to_te(), "debug data at file offset 0x100 lies in the stripped");
}

TEST(RelocationTest, EveryFixupOfTheBuiltImageHoldsAnAddressInTheImage) {
  const PeImage pe = pe32();
  auto fixups = pe.relocations();
  ASSERT_TRUE(fixups) << fixups.error().message;
  EXPECT_GT(fixups->size(), 100u);
  const auto memory = pe.memory_layout();
  for (const Relocation& r : *fixups) {
    EXPECT_EQ(r.type, layout::kRelocHighLow);
    const uint32_t target = get32(memory, r.rva);
    EXPECT_GE(target, pe.image_base()) << hex(r.rva);
    EXPECT_LE(target, pe.image_base() + pe.size_of_image()) << hex(r.rva);
  }
}

TEST(RelocationTest, RebaseMovesEveryFixupByTheDeltaAndNothingElse) {
  PeImage image = pe32();
  image.attach_map(*parse_link_map(map_text(), "map"));
  const auto before = image.memory_layout();
  const uint32_t delta = 0x00120000;
  ASSERT_TRUE(image.rebase(image.image_base() - delta));
  const auto after = image.memory_layout();
  std::vector<bool> fixed(before.size(), false);
  const auto fixups = image.relocations();
  ASSERT_TRUE(fixups);
  for (const Relocation& r : *fixups) {
    EXPECT_EQ(get32(after, r.rva), get32(before, r.rva) - delta);
    for (uint32_t i = 0; i < 4; ++i) fixed[r.rva + i] = true;
  }
  const PeOffsets at(image.file_bytes());
  for (size_t i = 0; i < before.size(); ++i) {
    if (fixed[i] || (i >= at.opt + 28 && i < at.opt + 32)) continue;
    ASSERT_EQ(before[i], after[i]) << "byte at RVA " << hex(i) << " changed";
  }
  EXPECT_EQ(get32(image.file_bytes(), at.opt + 28), 0xFFF00000u - delta);
  EXPECT_EQ(image.address_of("SystemBoardOverrideEntryPoint"), image.entry_point());
  EXPECT_EQ(image.symbol_at(image.entry_point()), "SystemBoardOverrideEntryPoint");
  // And back: the original file.
  ASSERT_TRUE(image.rebase(0xFFF00000));
  EXPECT_EQ(image.file_bytes(), pe32_bytes());
}

TEST(RelocationTest, TeAndPe32MoveAlike) {
  PeImage pe = pe32();
  PeImage te = parsed(te_of(pe));
  for (uint32_t base : {0xFF000000u, 0xFFE01000u, 0x10000000u, 0xFFFFC000u}) {
    ASSERT_TRUE(pe.rebase(base));
    ASSERT_TRUE(te.rebase(base));
    EXPECT_EQ(te_of(pe), te.file_bytes()) << hex(base);
    EXPECT_EQ(te.image_base(), base);
  }
}

TEST(RelocationTest, HighAndLowAddHalvesOfTheDelta) {
  auto bytes = pe32_bytes();
  const PeImage pe = pe32();
  const auto fixups = *pe.relocations();
  const uint32_t block = *pe.file_offset_of(pe.relocation_directory().rva, 8);
  // The first two entries of the first block become LOW and HIGH.
  put16(bytes, block + 8, static_cast<uint16_t>((get16(bytes, block + 8) & 0x0FFF) | 0x2000));
  put16(bytes, block + 10, static_cast<uint16_t>((get16(bytes, block + 10) & 0x0FFF) | 0x1000));
  PeImage image = parsed(bytes);
  const auto before = image.memory_layout();
  ASSERT_TRUE(image.rebase(image.image_base() + 0x00012340));
  const auto after = image.memory_layout();
  const uint32_t low = fixups[0].rva, high = fixups[1].rva;
  EXPECT_EQ(get16(after, low), static_cast<uint16_t>(get16(before, low) + 0x2340));
  EXPECT_EQ(get16(after, low + 2), get16(before, low + 2));
  EXPECT_EQ(get16(after, high), static_cast<uint16_t>(get16(before, high) + 0x0001));
  EXPECT_EQ(get16(after, high + 2), get16(before, high + 2));
}

TEST(RelocationTest, AnImageThatCannotMoveStaysAsItWas) {
  auto no_relocs = pe32_bytes();
  put32(no_relocs, PeOffsets(no_relocs).dirs + 8 * layout::kDirectoryBaseRelocation + 4, 0);
  auto stripped = pe32_bytes();
  const uint32_t flags = PeOffsets(stripped).coff + 18;
  put16(stripped, flags, static_cast<uint16_t>(get16(stripped, flags) | 1));
  for (auto& bytes : {no_relocs, stripped}) {
    PeImage image = parsed(bytes);
    EXPECT_ERROR_HAS(image.rebase(0xFFE00000),
                     "the image has no relocations, so it cannot move from 0xFFF00000 to "
                     "0xFFE00000");
    EXPECT_TRUE(image.rebase(0xFFF00000)) << "staying put needs no relocations";
  }
  PeImage image = pe32();
  EXPECT_ERROR_HAS(image.rebase(0xFFE00010), "multiple of the section alignment 0x20");
  EXPECT_TRUE(image.rebase(0xFFE00020));
  EXPECT_ERROR_HAS(image.rebase(0xFFFFE000), "would end above 4 GiB");
  EXPECT_EQ(image.image_base(), 0xFFE00020u);
  EXPECT_TRUE(image.rebase(static_cast<uint32_t>(0x100000000ull - image.size_of_image())))
      << "ending at 4 GiB is fine";
}

// The relocation directory of a copy, changed by `edit` (given the file offset of its
// first block); rebasing must fail with `message` and leave the bytes alone.
void expect_bad_relocations(const std::function<void(std::vector<uint8_t>&, uint32_t)>& edit,
                            const std::string& message) {
  auto bytes = pe32_bytes();
  const PeImage pe = pe32();
  edit(bytes, *pe.file_offset_of(pe.relocation_directory().rva, 8));
  auto image = PeImage::parse(bytes);
  if (!image) {
    EXPECT_NE(image.error().message.find(message), std::string::npos) << image.error().message;
    return;
  }
  EXPECT_ERROR_HAS(image->relocations(), message);
  EXPECT_ERROR_HAS(image->rebase(0xFFE00000), message);
  EXPECT_EQ(image->file_bytes(), bytes);
}

TEST(RelocationTest, CorruptBlocksAreRejectedWithTheirPlace) {
  const uint32_t dir_size = pe32().relocation_directory().size;
  const uint32_t first_block =
      get32(pe32_bytes(), *pe32().file_offset_of(pe32().relocation_directory().rva, 8) + 4);
  expect_bad_relocations([&](auto& b, uint32_t at) { put32(b, at + 4, dir_size + 2); },
                         "relocation block at directory offset 0x0 (page 0x0): size " +
                             std::to_string(dir_size + 2) + " overruns the " +
                             std::to_string(dir_size) + " bytes left");
  expect_bad_relocations([](auto& b, uint32_t at) { put32(b, at + 4, 6); },
                         "size 6 is not a header and whole entries");
  expect_bad_relocations([](auto& b, uint32_t at) { put32(b, at + 4, 9); },
                         "size 9 is not a header and whole entries");
  expect_bad_relocations([&](auto& b, uint32_t at) { put32(b, at + first_block + 4, 0xFFFFFFF0); },
                         "relocation block at directory offset " + hex(first_block));
  expect_bad_relocations([](auto& b, uint32_t at) { put16(b, at + 12, 0xA010); },
                         "entry 2: type 10 is not an IA32 relocation");
  expect_bad_relocations([](auto& b, uint32_t at) { put32(b, at, 0x00100000); },
                         "entry 0: the fix-up at RVA 0x100");
  expect_bad_relocations([](auto& b, uint32_t at) { put32(b, at, 0xFFFFF000); },
                         "the fix-up at RVA 0x");
}

// A fix-up may change only the bytes a section loads: one aimed at e_lfanew would move the
// header the rebase writes the new base into (anywhere up to 4 GiB past the buffer), one in a
// section's file padding or between sections changes nothing the image runs.
TEST(RelocationTest, FixupsOutsideTheSectionsAreRefusedWithTheirPlace) {
  const PeImage pe = pe32();
  const PeSection& text = pe.sections()[0];
  ASSERT_EQ(text.name, ".text");
  ASSERT_GT(text.raw_size, text.virtual_size) << "the padding case needs file padding";
  const uint32_t padding = text.virtual_address + text.virtual_size;
  const uint32_t straddling = text.virtual_address + text.virtual_size - 2;
  const struct {
    uint32_t rva;
    uint16_t type;
    std::string message;
  } cases[] = {
      {0x3C, 3, "entry 0: the fix-up at RVA 0x3C lies in the headers"},
      {0x3C, 2, "entry 0: the fix-up at RVA 0x3C lies in the headers"},
      {pe.size_of_headers() - 2, 3,
       "entry 0: the fix-up at RVA " + hex(pe.size_of_headers() - 2) + " lies in the headers"},
      {padding, 3, "entry 0: the fix-up at RVA " + hex(padding) + " lies outside every section's"},
      {straddling, 3,
       "entry 0: the fix-up at RVA " + hex(straddling) + " lies outside every section's data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const uint32_t page = c.rva & ~0xFFFu;
    expect_bad_relocations(
        [&](auto& b, uint32_t at) {
          put32(b, at, page);
          put16(b, at + 8, static_cast<uint16_t>(c.type << 12 | (c.rva & 0xFFF)));
        },
        "relocation block at directory offset 0x0 (page " + hex(page) + "), " + c.message);
  }
}

TEST(HostileImageTest, LyingPe32HeadersAreRejectedWithWhatLies) {
  const auto& good = pe32_bytes();
  const PeOffsets at(good);
  const struct {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> edit;
    std::string message;
  } cases[] = {
      {"e_lfanew past the file", [](auto& b) { put32(b, 0x3C, static_cast<uint32_t>(b.size())); },
       "no PE signature"},
      {"optional header too long", [&](auto& b) { put16(b, at.coff + 16, 0xFFFF); },
       "truncated optional header"},
      {"optional header too short", [&](auto& b) { put16(b, at.coff + 16, 95); },
       "is 95 bytes, less than the 96"},
      {"directory count", [&](auto& b) { put32(b, at.opt + 92, 17); },
       "names 17 data directories but has room for 16"},
      {"size of image huge", [&](auto& b) { put32(b, at.opt + 56, 0xFFFFFFFF); },
       "size of image 0xFFFFFFFF"},
      {"size of image short", [&](auto& b) { put32(b, at.opt + 56, 0x3300); },
       "section .reloc exceeds the image"},
      {"headers past the file", [&](auto& b) { put32(b, at.opt + 60, 0x3800); }, "headers"},
      {"section count", [&](auto& b) { put16(b, at.coff + 2, 0xFFFF); },
       "truncated section table (65535 sections"},
      {"raw data pointer", [&](auto& b) { put32(b, at.section(0, 20), 0xFFFFFFF0); },
       "section .text (7360 bytes at 0xFFFFFFF0) lies outside the file"},
      {"raw data size", [&](auto& b) { put32(b, at.section(3, 16), 0x200); },
       "section .reloc (512 bytes at 0x32E0) lies outside the file"},
      {"section address", [&](auto& b) { put32(b, at.section(2, 12), 0x3FF0); },
       "section .data exceeds the image"},
      {"section over the headers", [&](auto& b) { put32(b, at.section(0, 12), 0x100); },
       "section .text overlaps the headers"},
      {"sections sharing memory",
       [&](auto& b) { put32(b, at.section(3, 12), get32(b, at.section(2, 12))); },
       "sections .data and .reloc overlap in memory"},
      {"sections sharing file bytes",
       [&](auto& b) { put32(b, at.section(2, 20), get32(b, at.section(1, 20))); },
       "sections .rdata and .data share bytes of the file"},
      {"entry point", [&](auto& b) { put32(b, at.opt + 16, 0x3440); },
       "entry point RVA 0x3440 lies outside the image"},
      {"image base", [&](auto& b) { put32(b, at.opt + 28, 0xFFFFE000); },
       "does not fit below 4 GiB"},
      {"section alignment", [&](auto& b) { put32(b, at.opt + 32, 0); }, "not a power of two"},
      {"relocation directory", [&](auto& b) { put32(b, at.dirs + 44, 0x200); },
       "relocation directory (0x32E0, 512 bytes) exceeds the image"},
      {"magic", [&](auto& b) { put16(b, at.opt, 0x20B); }, "not a PE32 image"},
  };
  for (const auto& c : cases) {
    auto bytes = good;
    c.edit(bytes);
    SCOPED_TRACE(c.what);
    EXPECT_ERROR_HAS(PeImage::parse(bytes), c.message);
  }
}

TEST(HostileImageTest, LyingTeHeadersAreRejectedWithWhatLies) {
  const auto good = te_of(pe32());
  const struct {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> edit;
    std::string message;
  } cases[] = {
      {"stripped size", [](auto& b) { put16(b, 6, 39); },
       "TE stripped size 39 is smaller than the TE header"},
      {"section count", [](auto& b) { b[4] = 0xFF; }, "lies outside the file of 13016 bytes"},
      {"data in the stripped headers", [](auto& b) { put32(b, 40 + 20, 0x100); },
       "section .text starts in the stripped headers (0x100)"},
      {"raw data past the file", [](auto& b) { put32(b, 40 + 40 * 3 + 16, 0x1000); },
       "section .reloc (4096 bytes at"},
      {"image base above 4 GiB", [](auto& b) { put64(b, 16, 0x1FFF00000ull); },
       "TE image base 0x1FFF00000 is above 4 GiB"},
      {"entry point", [](auto& b) { put32(b, 8, 0x3440); }, "entry point RVA 0x3440"},
      {"sections reach far", [](auto& b) { put32(b, 40 + 8, 0x01000000); },
       "the TE sections reach past"},
  };
  for (const auto& c : cases) {
    auto bytes = good;
    c.edit(bytes);
    SCOPED_TRACE(c.what);
    EXPECT_ERROR_HAS(PeImage::parse(bytes), c.message);
  }
  EXPECT_ERROR_HAS(PeImage::parse({good.begin(), good.begin() + 39}),
                   "truncated TE header (39 of 40 bytes)");
}

TEST(HostileImageTest, EveryTruncatedFileIsRejected) {
  // The last section ends at the end of both files, so no prefix is a whole image.
  for (const auto* file : {&pe32_bytes(), &te_bytes()}) {
    for (size_t n = 0; n < file->size(); ++n) {
      ASSERT_FALSE(PeImage::parse({file->begin(), file->begin() + n})) << n << " bytes";
    }
  }
}

TEST(HostileImageTest, RandomDamageIsReadWithinBounds) {
  // Whatever the damage, the readers either reject the file or give an image whose every
  // accessor stays inside its bytes (the sanitizer build checks that).
  std::mt19937 random(20240601);
  for (int round = 0; round < 3000; ++round) {
    auto bytes = round % 2 ? pe32_bytes() : te_bytes();
    const size_t span = round % 3 == 0 ? bytes.size() : 0x400;
    for (int flips = 1 + round % 4; flips > 0; --flips) {
      bytes[random() % span] = static_cast<uint8_t>(random());
    }
    auto image = PeImage::parse(bytes);
    if (!image) continue;
    (void)image->memory_layout();
    (void)image->relocations();
    (void)image->to_te();
    (void)image->file_offset_of(static_cast<uint32_t>(random()), 4);
    (void)image->rebase(image->image_base() & ~0xFFFFFu);
  }
}

}  // namespace
}  // namespace peiboard::testing
