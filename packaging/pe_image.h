// The module's PE32 image and its link map, as the build produced them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "expected.h"

namespace peiboard {

struct PeSection {
  std::string name;
  uint32_t virtual_address = 0;  // RVA
  uint32_t virtual_size = 0;
  uint32_t raw_offset = 0;
  uint32_t raw_size = 0;
  uint32_t characteristics = 0;
};

struct Symbol {
  std::string name;  // without the leading underscore of the C decoration
  uint32_t address = 0;
};

// A parsed image: headers, sections, the bytes as they lie in the file, and the names
// the link map gives to addresses inside it.
class PeImage {
 public:
  static constexpr uint16_t kMachineI386 = 0x014C;
  static constexpr uint16_t kMagicPe32 = 0x010B;
  static constexpr uint16_t kSubsystemEfiBootServiceDriver = 11;
  // Images and link maps are read only up to this size (the flash window of the board).
  static constexpr uint64_t kMaxFileSize = 16u << 20;

  // Parses the image file and, when given, its link map. Fails on anything that is not
  // a well-formed PE32 file; the kind checks (machine, subsystem, imports) are check().
  static Expected<PeImage> load(const std::filesystem::path& image,
                                const std::optional<std::filesystem::path>& map = std::nullopt);
  static Expected<PeImage> parse(std::vector<uint8_t> bytes, std::string_view map_text = {});

  // Everything that makes the file a module this board can dispatch: i386, PE32, EFI boot
  // service driver, no imports, the entry point named SystemBoardOverrideEntryPoint.
  std::vector<std::string> check() const;

  uint16_t machine() const { return machine_; }
  uint16_t magic() const { return magic_; }
  uint16_t subsystem() const { return subsystem_; }
  uint32_t image_base() const { return image_base_; }
  uint32_t size_of_image() const { return size_of_image_; }
  uint32_t size_of_headers() const { return size_of_headers_; }
  uint32_t entry_point() const { return image_base_ + entry_rva_; }
  uint32_t import_directory_size() const { return import_size_; }
  const std::vector<PeSection>& sections() const { return sections_; }
  const std::vector<uint8_t>& file_bytes() const { return bytes_; }
  const std::vector<Symbol>& symbols() const { return symbols_; }  // sorted by address

  // The image as it lies in memory at image_base(): headers and sections placed at their
  // RVAs, the rest zero.
  std::vector<uint8_t> memory_layout() const;

  std::optional<uint32_t> address_of(std::string_view name) const;
  // The routine or datum whose range holds the address (ranges end at the next symbol).
  std::optional<std::string> symbol_at(uint32_t address) const;

 private:
  std::vector<uint8_t> bytes_;
  uint16_t machine_ = 0;
  uint16_t magic_ = 0;
  uint16_t subsystem_ = 0;
  uint32_t image_base_ = 0;
  uint32_t size_of_image_ = 0;
  uint32_t size_of_headers_ = 0;
  uint32_t entry_rva_ = 0;
  uint32_t import_size_ = 0;
  std::vector<PeSection> sections_;
  std::vector<Symbol> symbols_;
};

}  // namespace peiboard
