#include "pe_image.h"

#include <algorithm>
#include <cstring>

#include "bytes.h"
#include "files.h"
#include "format.h"
#include "layouts.h"

namespace peiboard {
namespace {

using layout::CoffFileHeader;
using layout::DataDirectory;
using layout::OptionalHeader32;
using layout::SectionHeader;
using layout::TeHeader;

constexpr uint32_t kMaxAlignment = 0x1000;
constexpr uint64_t kFourGiB = 0x100000000ull;

bool has(std::span<const uint8_t> bytes, uint64_t offset, uint64_t size) {
  return offset <= bytes.size() && size <= bytes.size() - offset;
}

bool is_power_of_two(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace

Expected<PeImage> PeImage::load(const std::filesystem::path& image,
                                const std::optional<std::filesystem::path>& map) {
  auto bytes = read_input_file(image, kMaxFileSize, "image");
  if (!bytes) return bytes.error();
  auto parsed = parse(std::move(*bytes));
  if (!parsed) return Error{image.string() + ": " + parsed.error().message};
  if (map) {
    auto map_bytes = read_input_file(*map, kMaxFileSize, "link map");
    if (!map_bytes) return map_bytes.error();
    const std::string text(map_bytes->begin(), map_bytes->end());
    auto names = parse_link_map(text, map->string());
    if (!names) return names.error();
    parsed->attach_map(*names);
  }
  return parsed;
}

Expected<PeImage> PeImage::parse(std::vector<uint8_t> bytes, std::string_view map_text) {
  const bool te = has(bytes, 0, 2) && get16(bytes, 0) == layout::kTeSignature;
  auto image = te ? parse_te(std::move(bytes)) : parse_pe32(std::move(bytes));
  if (!image || map_text.empty()) return image;
  auto names = parse_link_map(map_text, "link map");
  if (!names) return names.error();
  image->attach_map(*names);
  return image;
}

Expected<PeImage> PeImage::parse_pe32(std::vector<uint8_t> bytes) {
  PeImage image;
  image.format_ = ImageFormat::kPe32;
  image.bytes_ = std::move(bytes);
  const std::span<const uint8_t> b = image.bytes_;
  if (!has(b, 0, layout::kDosHeaderSize) || get16(b, 0) != layout::kDosMagic) {
    return Error{"not a PE or TE image (no DOS header)"};
  }
  const uint32_t pe = get32(b, layout::kDosNewHeaderOffset);
  if (!has(b, pe, 4 + sizeof(CoffFileHeader)) || get32(b, pe) != layout::kPeSignature) {
    return Error{"not a PE image (no PE signature at " + hex(pe) + ")"};
  }
  const size_t coff = pe + 4;
  image.machine_ = get16(b, coff + offsetof(CoffFileHeader, machine));
  const uint16_t section_count = get16(b, coff + offsetof(CoffFileHeader, number_of_sections));
  const uint16_t optional_size = get16(b, coff + offsetof(CoffFileHeader, size_of_optional_header));
  image.coff_characteristics_ = get16(b, coff + offsetof(CoffFileHeader, characteristics));
  const size_t opt = coff + sizeof(CoffFileHeader);
  if (optional_size < sizeof(OptionalHeader32)) {
    return Error{"the optional header is " + std::to_string(optional_size) +
                 " bytes, less than the " + std::to_string(sizeof(OptionalHeader32)) +
                 " of a PE32 header"};
  }
  if (!has(b, opt, optional_size)) {
    return Error{"truncated optional header (" + std::to_string(optional_size) + " bytes at " +
                 hex(opt) + ", the file has " + std::to_string(b.size()) + ")"};
  }
  image.magic_ = get16(b, opt + offsetof(OptionalHeader32, magic));
  if (image.magic_ != kMagicPe32) return Error{"not a PE32 image (optional header magic)"};
  image.entry_rva_ = get32(b, opt + offsetof(OptionalHeader32, address_of_entry_point));
  image.base_of_code_ = get32(b, opt + offsetof(OptionalHeader32, base_of_code));
  image.image_base_field_ = opt + offsetof(OptionalHeader32, image_base);
  image.image_base_ = get32(b, image.image_base_field_);
  image.section_alignment_ = get32(b, opt + offsetof(OptionalHeader32, section_alignment));
  image.size_of_image_ = get32(b, opt + offsetof(OptionalHeader32, size_of_image));
  image.size_of_headers_ = get32(b, opt + offsetof(OptionalHeader32, size_of_headers));
  image.subsystem_ = get16(b, opt + offsetof(OptionalHeader32, subsystem));
  const uint32_t directory_count =
      get32(b, opt + offsetof(OptionalHeader32, number_of_rva_and_sizes));
  const auto directory_room =
      static_cast<uint32_t>((optional_size - sizeof(OptionalHeader32)) / sizeof(DataDirectory));
  if (directory_count > directory_room) {
    return Error{"the optional header names " + std::to_string(directory_count) +
                 " data directories but has room for " + std::to_string(directory_room)};
  }
  auto directory = [&](uint32_t index) {
    if (index >= directory_count) return ImageDirectory{};
    const size_t at = opt + sizeof(OptionalHeader32) + sizeof(DataDirectory) * index;
    return ImageDirectory{get32(b, at), get32(b, at + 4)};
  };
  image.import_size_ = directory(layout::kDirectoryImport).size;
  image.relocation_directory_ = directory(layout::kDirectoryBaseRelocation);
  image.debug_directory_ = directory(layout::kDirectoryDebug);
  if (!is_power_of_two(image.section_alignment_)) {
    return Error{"section alignment " + hex(image.section_alignment_) + " is not a power of two"};
  }
  image.section_table_offset_ = static_cast<uint32_t>(opt + optional_size);
  if (auto table = image.read_section_table(image.section_table_offset_, section_count, 0);
      !table) {
    return table.error();
  }
  if (uint64_t{image.section_table_offset_} + sizeof(SectionHeader) * section_count >
      image.size_of_headers_) {
    return Error{"the section table runs past the headers (" + hex(image.size_of_headers_) + ")"};
  }
  if (auto valid = image.validate(); !valid) return valid.error();
  return image;
}

Expected<PeImage> PeImage::parse_te(std::vector<uint8_t> bytes) {
  PeImage image;
  image.format_ = ImageFormat::kTe;
  image.bytes_ = std::move(bytes);
  const std::span<const uint8_t> b = image.bytes_;
  if (!has(b, 0, sizeof(TeHeader))) {
    return Error{"truncated TE header (" + std::to_string(b.size()) + " of " +
                 std::to_string(sizeof(TeHeader)) + " bytes)"};
  }
  image.machine_ = get16(b, offsetof(TeHeader, machine));
  const uint8_t section_count = b[offsetof(TeHeader, number_of_sections)];
  image.subsystem_ = b[offsetof(TeHeader, subsystem)];
  image.stripped_size_ = get16(b, offsetof(TeHeader, stripped_size));
  image.entry_rva_ = get32(b, offsetof(TeHeader, address_of_entry_point));
  image.base_of_code_ = get32(b, offsetof(TeHeader, base_of_code));
  image.image_base_field_ = offsetof(TeHeader, image_base);
  const uint64_t base = get64(b, image.image_base_field_);
  const size_t relocation = offsetof(TeHeader, base_relocation);
  image.relocation_directory_ = {get32(b, relocation), get32(b, relocation + 4)};
  const size_t debug = offsetof(TeHeader, debug);
  image.debug_directory_ = {get32(b, debug), get32(b, debug + 4)};
  if (base >= kFourGiB) return Error{"TE image base " + hex(base) + " is above 4 GiB"};
  image.image_base_ = static_cast<uint32_t>(base);
  if (image.stripped_size_ < sizeof(TeHeader)) {
    return Error{"TE stripped size " + std::to_string(image.stripped_size_) +
                 " is smaller than the TE header"};
  }
  image.file_rva_ = image.stripped_size_ - static_cast<uint32_t>(sizeof(TeHeader));
  image.section_table_offset_ = sizeof(TeHeader);
  if (auto table = image.read_section_table(sizeof(TeHeader), section_count, image.file_rva_);
      !table) {
    return table.error();
  }
  image.size_of_headers_ =
      image.stripped_size_ + static_cast<uint32_t>(sizeof(SectionHeader)) * section_count;
  image.section_alignment_ = kMaxAlignment;
  uint64_t end = image.size_of_headers_;
  for (const auto& s : image.sections_) {
    while (s.virtual_address % image.section_alignment_ != 0) image.section_alignment_ /= 2;
    end = std::max(end, uint64_t{s.virtual_address} + std::max(s.virtual_size, s.raw_size));
  }
  end = (end + image.section_alignment_ - 1) & ~uint64_t{image.section_alignment_ - 1};
  if (end > kMaxFileSize) return Error{"the TE sections reach past " + hex(kMaxFileSize)};
  image.size_of_image_ = static_cast<uint32_t>(end);
  if (auto valid = image.validate(); !valid) return valid.error();
  return image;
}

// Reads `count` section headers at `table`. Raw data pointers are PE file offsets; a TE file
// starts `raw_bias` bytes later.
Expected<void> PeImage::read_section_table(size_t table, uint16_t count, uint32_t raw_bias) {
  const std::span<const uint8_t> b = bytes_;
  if (!has(b, table, uint64_t{sizeof(SectionHeader)} * count)) {
    return Error{"truncated section table (" + std::to_string(count) + " sections at " +
                 hex(table) + ", the file has " + std::to_string(b.size()) + " bytes)"};
  }
  for (uint16_t i = 0; i < count; ++i) {
    const size_t s = table + sizeof(SectionHeader) * i;
    PeSection section;
    const char* raw_name = reinterpret_cast<const char*>(&b[s]);
    section.name.assign(raw_name, strnlen(raw_name, sizeof(SectionHeader::name)));
    section.virtual_size = get32(b, s + offsetof(SectionHeader, virtual_size));
    section.virtual_address = get32(b, s + offsetof(SectionHeader, virtual_address));
    section.raw_size = get32(b, s + offsetof(SectionHeader, size_of_raw_data));
    const uint32_t pointer = get32(b, s + offsetof(SectionHeader, pointer_to_raw_data));
    section.characteristics = get32(b, s + offsetof(SectionHeader, characteristics));
    if (section.raw_size != 0) {
      if (format_ == ImageFormat::kTe && pointer < raw_bias + sizeof(TeHeader)) {
        return Error{"section " + section.name + " starts in the stripped headers (" +
                     hex(pointer) + ")"};
      }
      section.raw_offset = pointer - raw_bias;
      if (!has(b, section.raw_offset, section.raw_size)) {
        return Error{"section " + section.name + " (" + std::to_string(section.raw_size) +
                     " bytes at " + hex(section.raw_offset) + ") lies outside the file of " +
                     std::to_string(b.size()) + " bytes"};
      }
    }
    sections_.push_back(std::move(section));
  }
  return {};
}

// What both forms must satisfy once their headers are read.
Expected<void> PeImage::validate() {
  if (size_of_image_ == 0 || size_of_image_ > kMaxFileSize) {
    return Error{"size of image " + hex(size_of_image_) + " is not between 1 and " +
                 hex(kMaxFileSize)};
  }
  if (uint64_t{image_base_} + size_of_image_ > kFourGiB) {
    return Error{"image at " + hex(image_base_) + " of " + hex(size_of_image_) +
                 " bytes does not fit below 4 GiB"};
  }
  if (size_of_headers_ > size_of_image_ ||
      (format_ == ImageFormat::kPe32 && !has(bytes_, 0, size_of_headers_))) {
    return Error{"headers (" + hex(size_of_headers_) + " bytes) exceed the image or the file"};
  }
  for (const auto& s : sections_) {
    const uint64_t end = uint64_t{s.virtual_address} + std::max(s.virtual_size, s.raw_size);
    if (end > size_of_image_) return Error{"section " + s.name + " exceeds the image"};
    if (s.virtual_address < size_of_headers_ && (s.raw_size != 0 || s.virtual_size != 0)) {
      return Error{"section " + s.name + " overlaps the headers"};
    }
  }
  // Sections that share memory or file bytes would let one section's data (or a fix-up in
  // it) overwrite another's.
  for (size_t i = 0; i < sections_.size(); ++i) {
    for (size_t j = i + 1; j < sections_.size(); ++j) {
      const PeSection& a = sections_[i];
      const PeSection& b = sections_[j];
      auto overlap = [](uint64_t a_begin, uint64_t a_size, uint64_t b_begin, uint64_t b_size) {
        return a_size != 0 && b_size != 0 && a_begin < b_begin + b_size &&
               b_begin < a_begin + a_size;
      };
      if (overlap(a.virtual_address, std::max(a.virtual_size, a.raw_size), b.virtual_address,
                  std::max(b.virtual_size, b.raw_size))) {
        return Error{"sections " + a.name + " and " + b.name + " overlap in memory"};
      }
      if (overlap(a.raw_offset, a.raw_size, b.raw_offset, b.raw_size)) {
        return Error{"sections " + a.name + " and " + b.name + " share bytes of the file"};
      }
    }
  }
  if (entry_rva_ >= size_of_image_) {
    return Error{"entry point RVA " + hex(entry_rva_) + " lies outside the image"};
  }
  for (const auto& [name, d] :
       {std::pair{"relocation", relocation_directory_}, std::pair{"debug", debug_directory_}}) {
    if (d.size != 0 && uint64_t{d.rva} + d.size > size_of_image_) {
      return Error{std::string(name) + " directory (" + hex(d.rva) + ", " + std::to_string(d.size) +
                   " bytes) exceeds the image"};
    }
  }
  return {};
}

void PeImage::attach_map(const LinkMap& map) {
  const uint32_t delta = map.preferred_base ? image_base_ - *map.preferred_base : 0;
  map_source_ = map.source;
  symbols_ = map.symbols;
  for (auto& s : symbols_) s.address += delta;
  std::stable_sort(symbols_.begin(), symbols_.end(),
                   [](const Symbol& a, const Symbol& b) { return a.address < b.address; });
}

std::vector<std::string> PeImage::check() const {
  std::vector<std::string> problems;
  if (machine_ != kMachineI386) problems.push_back("machine is not i386");
  if (format_ == ImageFormat::kPe32 && magic_ != kMagicPe32) problems.push_back("not PE32");
  if (subsystem_ != kSubsystemEfiBootServiceDriver) {
    problems.push_back("subsystem is not EFI boot service driver");
  }
  if (import_size_ != 0) problems.push_back("the image has imports");
  // Without names the header's entry point is the one the board calls.
  if (auto entry = address_of("SystemBoardOverrideEntryPoint"); !entry) {
    if (!symbols_.empty())
      problems.push_back("the link map names no SystemBoardOverrideEntryPoint");
  } else if (*entry != entry_point()) {
    problems.push_back("the entry point is not SystemBoardOverrideEntryPoint");
  }
  return problems;
}

std::vector<uint8_t> PeImage::memory_layout() const {
  std::vector<uint8_t> memory(size_of_image_, 0);
  const size_t headers = format_ == ImageFormat::kPe32
                             ? size_of_headers_
                             : sizeof(TeHeader) + sizeof(SectionHeader) * sections_.size();
  std::copy_n(bytes_.begin(), std::min(headers, bytes_.size()), memory.begin() + file_rva_);
  for (const auto& s : sections_) {
    const uint32_t n = std::min(s.raw_size, s.virtual_size ? s.virtual_size : s.raw_size);
    std::copy_n(bytes_.begin() + s.raw_offset, n, memory.begin() + s.virtual_address);
  }
  return memory;
}

std::optional<uint32_t> PeImage::address_of(std::string_view name) const {
  for (const auto& s : symbols_) {
    if (s.name == name) return s.address;
  }
  return std::nullopt;
}

std::string PeImage::where_named(std::string_view name) const {
  for (const auto& s : symbols_) {
    if (s.name == name && s.line != 0) return map_source_ + ":" + std::to_string(s.line);
  }
  return map_source_.empty() ? std::string("the link map") : map_source_;
}

const Symbol* PeImage::symbol_holding(uint32_t address) const {
  if (address < image_base_ || address - image_base_ >= size_of_image_) return nullptr;
  auto it = std::upper_bound(symbols_.begin(), symbols_.end(), address,
                             [](uint32_t a, const Symbol& s) { return a < s.address; });
  return it == symbols_.begin() ? nullptr : &*std::prev(it);
}

std::optional<std::string> PeImage::symbol_at(uint32_t address) const {
  if (const Symbol* symbol = symbol_holding(address)) return symbol->name;
  return std::nullopt;
}

std::optional<uint32_t> PeImage::file_offset_of(uint32_t rva, uint32_t size) const {
  const uint64_t end = uint64_t{rva} + size;
  for (const auto& s : sections_) {
    if (rva >= s.virtual_address && end - s.virtual_address <= s.raw_size) {
      return s.raw_offset + (rva - s.virtual_address);
    }
  }
  const uint64_t headers_end =
      format_ == ImageFormat::kPe32
          ? size_of_headers_
          : uint64_t{file_rva_} + sizeof(TeHeader) + sizeof(SectionHeader) * sections_.size();
  if (rva >= file_rva_ && end <= headers_end && end - file_rva_ <= bytes_.size()) {
    return rva - file_rva_;
  }
  return std::nullopt;
}

std::optional<uint32_t> PeImage::section_offset_of(uint64_t rva, uint32_t size) const {
  for (const auto& s : sections_) {
    const uint32_t loaded = std::min(s.raw_size, s.virtual_size ? s.virtual_size : s.raw_size);
    if (rva >= s.virtual_address && rva + size - s.virtual_address <= loaded) {
      return s.raw_offset + static_cast<uint32_t>(rva - s.virtual_address);
    }
  }
  return std::nullopt;
}

Expected<std::vector<Relocation>> PeImage::relocations() const {
  std::vector<Relocation> fixups;
  const ImageDirectory d = relocation_directory_;
  if (d.size == 0) return fixups;
  const auto start = file_offset_of(d.rva, d.size);
  if (!start) {
    return Error{"relocation directory (" + std::to_string(d.size) + " bytes at RVA " + hex(d.rva) +
                 ") lies outside the file's data"};
  }
  const std::span<const uint8_t> b = bytes_;
  uint32_t at = 0;
  while (at < d.size) {
    const uint32_t left = d.size - at;
    const std::string where = "relocation block at directory offset " + hex(at);
    if (left < sizeof(layout::BaseRelocationBlock)) {
      return Error{where + ": " + std::to_string(left) + " bytes are too few for a block header"};
    }
    const uint32_t page = get32(b, *start + at);
    const uint32_t block_size = get32(b, *start + at + 4);
    if (block_size > left) {
      return Error{where + " (page " + hex(page) + "): size " + std::to_string(block_size) +
                   " overruns the " + std::to_string(left) + " bytes left in the directory"};
    }
    if (block_size < sizeof(layout::BaseRelocationBlock) || block_size % 2 != 0) {
      return Error{where + " (page " + hex(page) + "): size " + std::to_string(block_size) +
                   " is not a header and whole entries"};
    }
    const auto entries =
        static_cast<uint32_t>((block_size - sizeof(layout::BaseRelocationBlock)) / 2);
    for (uint32_t i = 0; i < entries; ++i) {
      const uint16_t entry = get16(b, *start + at + sizeof(layout::BaseRelocationBlock) + 2 * i);
      const uint16_t type = entry >> 12;
      const uint64_t rva = uint64_t{page} + (entry & 0x0FFF);
      uint32_t width = 0;
      switch (type) {
        case layout::kRelocAbsolute:
          continue;
        case layout::kRelocHigh:
        case layout::kRelocLow:
          width = 2;
          break;
        case layout::kRelocHighLow:
          width = 4;
          break;
        default:
          return Error{where + " (page " + hex(page) + "), entry " + std::to_string(i) + ": type " +
                       std::to_string(type) + " is not an IA32 relocation"};
      }
      const std::string fixup = where + " (page " + hex(page) + "), entry " + std::to_string(i) +
                                ": the fix-up at RVA " + hex(rva);
      // A fix-up may change only section bytes the image loads: one in the headers would
      // rewrite the fields (e_lfanew, the image base) the rebase itself relies on.
      if (rva < size_of_headers_) return Error{fixup + " lies in the headers"};
      const auto offset = section_offset_of(rva, width);
      if (!offset) return Error{fixup + " lies outside every section's data"};
      fixups.push_back({static_cast<uint32_t>(rva), type, *offset});
    }
    at += block_size;
  }
  return fixups;
}

Expected<void> PeImage::rebase(uint32_t new_base) {
  if (new_base == image_base_) return {};
  const std::string move = " from " + hex(image_base_, 8) + " to " + hex(new_base, 8);
  if (relocation_directory_.size == 0 || (coff_characteristics_ & layout::kFileRelocsStripped)) {
    return Error{"the image has no relocations, so it cannot move" + move};
  }
  if (new_base % section_alignment_ != 0) {
    return Error{"cannot move" + move + ": the base must be a multiple of the section alignment " +
                 hex(section_alignment_)};
  }
  if (uint64_t{new_base} + size_of_image_ > kFourGiB) {
    return Error{"cannot move" + move + ": the image would end above 4 GiB"};
  }
  auto fixups = relocations();
  if (!fixups) return fixups.error();
  const uint32_t delta = new_base - image_base_;
  std::vector<uint8_t> moved = bytes_;
  for (const Relocation& r : *fixups) {
    const uint32_t at = r.file_offset;
    if (!has(moved, at, r.type == layout::kRelocHighLow ? 4 : 2)) {
      return Error{"cannot move" + move + ": the fix-up at RVA " + hex(r.rva) +
                   " lies outside the file"};
    }
    switch (r.type) {
      case layout::kRelocHighLow:
        put32(moved, at, get32(moved, at) + delta);
        break;
      case layout::kRelocHigh:
        put16(moved, at, static_cast<uint16_t>(get16(moved, at) + (delta >> 16)));
        break;
      case layout::kRelocLow:
        put16(moved, at, static_cast<uint16_t>(get16(moved, at) + (delta & 0xFFFF)));
        break;
      default:
        break;
    }
  }
  // The field's place was read once, when the headers were: no fix-up can move it since.
  const size_t field_size = format_ == ImageFormat::kPe32 ? 4 : 8;
  if (!has(moved, image_base_field_, field_size)) {
    return Error{"cannot move" + move + ": the image base field lies outside the file"};
  }
  if (format_ == ImageFormat::kPe32) {
    put32(moved, image_base_field_, new_base);
  } else {
    put64(moved, image_base_field_, new_base);
  }
  bytes_ = std::move(moved);
  image_base_ = new_base;
  for (auto& s : symbols_) s.address += delta;
  std::stable_sort(symbols_.begin(), symbols_.end(),
                   [](const Symbol& a, const Symbol& b) { return a.address < b.address; });
  return {};
}

Expected<std::vector<uint8_t>> PeImage::to_te() const {
  if (format_ != ImageFormat::kPe32) return Error{"the image is a TE image already"};
  const uint32_t stripped = section_table_offset_;
  if (stripped > 0xFFFF) return Error{"the PE headers are too long for a TE header"};
  if (sections_.size() > 0xFF) return Error{"more sections than a TE header can count"};
  if (subsystem_ > 0xFF) return Error{"subsystem " + std::to_string(subsystem_) + " needs a byte"};
  for (const auto& s : sections_) {
    if (s.raw_size != 0 && s.raw_offset < stripped) {
      return Error{"section " + s.name + " lies in the headers that TE strips"};
    }
  }
  const uint32_t bias = stripped - static_cast<uint32_t>(sizeof(TeHeader));
  std::vector<uint8_t> te(sizeof(TeHeader) + (bytes_.size() - stripped), 0);
  std::copy(bytes_.begin() + stripped, bytes_.end(), te.begin() + sizeof(TeHeader));
  put16(te, offsetof(TeHeader, signature), layout::kTeSignature);
  put16(te, offsetof(TeHeader, machine), machine_);
  te[offsetof(TeHeader, number_of_sections)] = static_cast<uint8_t>(sections_.size());
  te[offsetof(TeHeader, subsystem)] = static_cast<uint8_t>(subsystem_);
  put16(te, offsetof(TeHeader, stripped_size), static_cast<uint16_t>(stripped));
  put32(te, offsetof(TeHeader, address_of_entry_point), entry_rva_);
  put32(te, offsetof(TeHeader, base_of_code), base_of_code_);
  put64(te, offsetof(TeHeader, image_base), image_base_);
  put32(te, offsetof(TeHeader, base_relocation), relocation_directory_.rva);
  put32(te, offsetof(TeHeader, base_relocation) + 4, relocation_directory_.size);
  put32(te, offsetof(TeHeader, debug), debug_directory_.rva);
  put32(te, offsetof(TeHeader, debug) + 4, debug_directory_.size);

  // Debug entries point at their data by file offset: it moves with the bytes.
  if (const ImageDirectory d = debug_directory_; d.size != 0) {
    const auto at = file_offset_of(d.rva, d.size);
    if (!at || *at < stripped) return Error{"the debug directory lies outside the sections"};
    constexpr size_t kEntry = sizeof(layout::DebugDirectoryEntry);
    for (uint32_t i = 0; i + kEntry <= d.size; i += kEntry) {
      const size_t field =
          *at - bias + i + offsetof(layout::DebugDirectoryEntry, pointer_to_raw_data);
      const uint32_t pointer = get32(te, field);
      if (pointer == 0) continue;
      if (pointer < stripped) {
        return Error{"debug data at file offset " + hex(pointer) + " lies in the stripped headers"};
      }
      put32(te, field, pointer - bias);
    }
  }
  return te;
}

}  // namespace peiboard
