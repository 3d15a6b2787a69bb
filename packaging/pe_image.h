// The module's image, as a PE32 file or in its TE form, and the names its link map gives.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "expected.h"
#include "link_map.h"

namespace peiboard {

enum class ImageFormat { kPe32, kTe };

// Section characteristics (PE/COFF): what a section holds and how it may be accessed.
namespace scn {
inline constexpr uint32_t kCode = 0x00000020;
inline constexpr uint32_t kUninitializedData = 0x00000080;
inline constexpr uint32_t kExecute = 0x20000000;
inline constexpr uint32_t kRead = 0x40000000;
inline constexpr uint32_t kWrite = 0x80000000;
}  // namespace scn

struct PeSection {
  std::string name;
  uint32_t virtual_address = 0;  // RVA
  uint32_t virtual_size = 0;
  uint32_t raw_offset = 0;  // where the section's bytes start in file_bytes()
  uint32_t raw_size = 0;
  uint32_t characteristics = 0;
};

struct ImageDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

// One base relocation: the RVA of the field and its type (layout::kReloc*).
struct Relocation {
  uint32_t rva = 0;
  uint16_t type = 0;
  uint32_t file_offset = 0;  // of the field in file_bytes()
};

// A parsed image: headers, sections, the bytes as they lie in the file, and the names the
// link map gives to addresses inside it. Every size, offset and count in the file is checked
// against the file and the image before it is used.
class PeImage {
 public:
  static constexpr uint16_t kMachineI386 = 0x014C;
  static constexpr uint16_t kMagicPe32 = 0x010B;
  static constexpr uint16_t kSubsystemEfiBootServiceDriver = 11;
  // Images and link maps are read only up to this size (the flash window of the board), and
  // an image may not claim more memory than this.
  static constexpr uint64_t kMaxFileSize = 16u << 20;

  // Parses a PE32 or TE image file and, when given, its link map. Fails on anything that is
  // not a well-formed image, with the file (and for the map, the line) named in the message;
  // the kind checks (machine, subsystem, imports) are check().
  static Expected<PeImage> load(const std::filesystem::path& image,
                                const std::optional<std::filesystem::path>& map = std::nullopt);
  // The same for bytes in memory; map errors are located as "link map:LINE".
  static Expected<PeImage> parse(std::vector<uint8_t> bytes, std::string_view map_text = {});

  // Takes the map's names. The map gives addresses at its preferred load address; when the
  // image sits elsewhere, every name moves by the difference.
  void attach_map(const LinkMap& map);

  // Everything that makes the file a module this board can dispatch: i386, PE32 or TE, EFI
  // boot service driver, no imports, and when the image has names, the entry point named
  // SystemBoardOverrideEntryPoint.
  std::vector<std::string> check() const;

  ImageFormat format() const { return format_; }
  uint16_t machine() const { return machine_; }
  uint16_t magic() const { return magic_; }  // 0 for TE, which has no optional header
  uint16_t subsystem() const { return subsystem_; }
  uint32_t image_base() const { return image_base_; }
  // For TE, the end of the last section, rounded up to the section alignment.
  uint32_t size_of_image() const { return size_of_image_; }
  // For TE, the RVA where the section table ends.
  uint32_t size_of_headers() const { return size_of_headers_; }
  uint32_t entry_point() const { return image_base_ + entry_rva_; }
  uint32_t entry_rva() const { return entry_rva_; }
  uint32_t base_of_code() const { return base_of_code_; }
  // PE32: from the optional header. TE: the largest power of two up to 4 KiB that every
  // section's RVA is a multiple of.
  uint32_t section_alignment() const { return section_alignment_; }
  // TE: the bytes of PE headers the TE header replaced; its header lies at this RVA minus 40.
  uint16_t stripped_size() const { return stripped_size_; }
  // The RVA of the file's first byte: 0 for PE32, stripped_size() - 40 for TE.
  uint32_t file_rva() const { return file_rva_; }
  uint32_t import_directory_size() const { return import_size_; }
  ImageDirectory relocation_directory() const { return relocation_directory_; }
  ImageDirectory debug_directory() const { return debug_directory_; }
  const std::vector<PeSection>& sections() const { return sections_; }
  const std::vector<uint8_t>& file_bytes() const { return bytes_; }
  const std::vector<Symbol>& symbols() const { return symbols_; }  // sorted by address

  // The image as it lies in memory at image_base(): headers and sections placed at their
  // RVAs, the rest zero. A TE header and its section table sit at file_rva().
  std::vector<uint8_t> memory_layout() const;

  std::optional<uint32_t> address_of(std::string_view name) const;
  // "MAP:LINE" of the map row that names `name`, for errors about where the map put it.
  std::string where_named(std::string_view name) const;
  // The routine or datum whose range holds the address (ranges end at the next symbol);
  // none outside the image.
  const Symbol* symbol_holding(uint32_t address) const;
  std::optional<std::string> symbol_at(uint32_t address) const;

  // Where `size` bytes at `rva` lie in file_bytes(), when the file holds all of them.
  std::optional<uint32_t> file_offset_of(uint32_t rva, uint32_t size) const;

  // The base relocations, in directory order, without the padding entries. Fails, saying
  // which block and entry, when a block overruns the directory, a type is not one IA32 uses,
  // or a fix-up lies in the headers or outside the data of every section.
  Expected<std::vector<Relocation>> relocations() const;

  // Moves the image to `new_base`: applies every base relocation to the file bytes, sets the
  // header's image base and moves the names with it. An image without relocations cannot
  // move; the base must keep the section alignment and the image below 4 GiB. On failure the
  // image is unchanged.
  Expected<void> rebase(uint32_t new_base);

  // The TE form of a PE32 image: a 40-byte TE header in place of the headers before the
  // section table, the rest of the file unchanged, relocation and debug directories carried
  // over (the debug entries' file offsets moved with the bytes).
  Expected<std::vector<uint8_t>> to_te() const;

 private:
  static Expected<PeImage> parse_pe32(std::vector<uint8_t> bytes);
  static Expected<PeImage> parse_te(std::vector<uint8_t> bytes);
  Expected<void> validate();
  Expected<void> read_section_table(size_t table, uint16_t count, uint32_t raw_bias);
  // Where `size` bytes at `rva` lie in file_bytes() when one section's loaded data holds them.
  std::optional<uint32_t> section_offset_of(uint64_t rva, uint32_t size) const;

  ImageFormat format_ = ImageFormat::kPe32;
  std::vector<uint8_t> bytes_;
  uint16_t machine_ = 0;
  uint16_t magic_ = 0;
  uint16_t subsystem_ = 0;
  uint16_t coff_characteristics_ = 0;
  uint32_t image_base_ = 0;
  uint32_t size_of_image_ = 0;
  uint32_t size_of_headers_ = 0;
  uint32_t entry_rva_ = 0;
  uint32_t base_of_code_ = 0;
  uint32_t section_alignment_ = 0;
  uint16_t stripped_size_ = 0;
  uint32_t file_rva_ = 0;
  uint32_t section_table_offset_ = 0;  // in file_bytes()
  size_t image_base_field_ = 0;        // in file_bytes(), read with the headers
  uint32_t import_size_ = 0;
  ImageDirectory relocation_directory_;
  ImageDirectory debug_directory_;
  std::vector<PeSection> sections_;
  std::vector<Symbol> symbols_;
  std::string map_source_;  // the link map the names came from
};

}  // namespace peiboard
