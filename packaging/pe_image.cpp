#include "pe_image.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "files.h"

namespace peiboard {
namespace {

class Reader {
 public:
  explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  bool has(size_t offset, size_t size) const {
    return offset <= bytes_.size() && size <= bytes_.size() - offset;
  }
  uint16_t u16(size_t offset) const {
    return static_cast<uint16_t>(bytes_[offset] | bytes_[offset + 1] << 8);
  }
  uint32_t u32(size_t offset) const {
    return static_cast<uint32_t>(u16(offset)) | static_cast<uint32_t>(u16(offset + 2)) << 16;
  }

 private:
  const std::vector<uint8_t>& bytes_;
};

// lld-link map rows: " 0001:00000000       _Name   00000000fff01000     file.obj"
std::vector<Symbol> parse_map(std::string_view text) {
  std::vector<Symbol> symbols;
  std::istringstream in{std::string(text)};
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream row(line);
    std::string section, name, address;
    if (!(row >> section >> name >> address)) continue;
    if (section.size() != 13 || section[4] != ':' || name.empty() || name[0] != '_') continue;
    if (address.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) continue;
    const uint64_t value = std::stoull(address, nullptr, 16);
    if (value > 0xFFFFFFFFu) continue;
    symbols.push_back({name.substr(1), static_cast<uint32_t>(value)});
  }
  std::sort(symbols.begin(), symbols.end(),
            [](const Symbol& a, const Symbol& b) { return a.address < b.address; });
  return symbols;
}

}  // namespace

Expected<PeImage> PeImage::load(const std::filesystem::path& image,
                                const std::optional<std::filesystem::path>& map) {
  auto bytes = read_input_file(image, kMaxFileSize, "image");
  if (!bytes) return bytes.error();
  std::string map_text;
  if (map) {
    auto map_bytes = read_input_file(*map, kMaxFileSize, "link map");
    if (!map_bytes) return map_bytes.error();
    map_text.assign(map_bytes->begin(), map_bytes->end());
  }
  auto parsed = parse(std::move(*bytes), map_text);
  if (!parsed) return Error{image.string() + ": " + parsed.error().message};
  return parsed;
}

Expected<PeImage> PeImage::parse(std::vector<uint8_t> bytes, std::string_view map_text) {
  PeImage image;
  image.bytes_ = std::move(bytes);
  const Reader r(image.bytes_);
  if (!r.has(0, 64) || r.u16(0) != 0x5A4D) return Error{"not a PE image (no DOS header)"};
  const uint32_t pe = r.u32(0x3C);
  if (!r.has(pe, 24) || r.u32(pe) != 0x00004550) return Error{"not a PE image (no PE signature)"};
  image.machine_ = r.u16(pe + 4);
  const uint16_t section_count = r.u16(pe + 6);
  const uint16_t optional_size = r.u16(pe + 20);
  const size_t opt = pe + 24;
  if (!r.has(opt, optional_size) || optional_size < 96) return Error{"truncated optional header"};
  image.magic_ = r.u16(opt);
  if (image.magic_ != kMagicPe32) return Error{"not a PE32 image (optional header magic)"};
  image.entry_rva_ = r.u32(opt + 16);
  image.image_base_ = r.u32(opt + 28);
  image.size_of_image_ = r.u32(opt + 56);
  image.size_of_headers_ = r.u32(opt + 60);
  image.subsystem_ = r.u16(opt + 68);
  const uint32_t directory_count = r.u32(opt + 92);
  if (directory_count > 1 && optional_size >= 96 + 16) image.import_size_ = r.u32(opt + 96 + 12);

  const size_t table = opt + optional_size;
  if (!r.has(table, size_t{40} * section_count)) return Error{"truncated section table"};
  for (uint16_t i = 0; i < section_count; ++i) {
    const size_t s = table + size_t{40} * i;
    PeSection section;
    const char* raw_name = reinterpret_cast<const char*>(&image.bytes_[s]);
    section.name.assign(raw_name, strnlen(raw_name, 8));
    section.virtual_size = r.u32(s + 8);
    section.virtual_address = r.u32(s + 12);
    section.raw_size = r.u32(s + 16);
    section.raw_offset = r.u32(s + 20);
    section.characteristics = r.u32(s + 36);
    if (!r.has(section.raw_offset, section.raw_size)) {
      return Error{"section " + section.name + " lies outside the file"};
    }
    const uint64_t end =
        uint64_t{section.virtual_address} + std::max(section.virtual_size, section.raw_size);
    if (end > image.size_of_image_) return Error{"section " + section.name + " exceeds the image"};
    image.sections_.push_back(std::move(section));
  }
  if (image.size_of_headers_ > image.size_of_image_ || !r.has(0, image.size_of_headers_)) {
    return Error{"headers exceed the image"};
  }
  if (uint64_t{image.image_base_} + image.size_of_image_ > 0x100000000ull) {
    return Error{"image does not fit below 4 GiB"};
  }
  image.symbols_ = parse_map(map_text);
  return image;
}

std::vector<std::string> PeImage::check() const {
  std::vector<std::string> problems;
  if (machine_ != kMachineI386) problems.push_back("machine is not i386");
  if (magic_ != kMagicPe32) problems.push_back("not PE32");
  if (subsystem_ != kSubsystemEfiBootServiceDriver) {
    problems.push_back("subsystem is not EFI boot service driver");
  }
  if (import_size_ != 0) problems.push_back("the image has imports");
  if (auto entry = address_of("SystemBoardOverrideEntryPoint"); !entry) {
    problems.push_back("the link map names no SystemBoardOverrideEntryPoint");
  } else if (*entry != entry_point()) {
    problems.push_back("the entry point is not SystemBoardOverrideEntryPoint");
  }
  return problems;
}

std::vector<uint8_t> PeImage::memory_layout() const {
  std::vector<uint8_t> memory(size_of_image_, 0);
  std::copy_n(bytes_.begin(), size_of_headers_, memory.begin());
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

std::optional<std::string> PeImage::symbol_at(uint32_t address) const {
  if (address < image_base_ || address - image_base_ >= size_of_image_) return std::nullopt;
  auto it = std::upper_bound(symbols_.begin(), symbols_.end(), address,
                             [](uint32_t a, const Symbol& s) { return a < s.address; });
  if (it == symbols_.begin()) return std::nullopt;
  return std::prev(it)->name;
}

}  // namespace peiboard
