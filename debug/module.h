// The module as the host knows it: its image where it runs, the names of its routines (link
// map, else the debug file's symbols), its debug file when there is one, and the shift between
// where the image runs and where the debug file puts it. Built once, owned, and shared by
// whatever reads the module (the board, its reports, the fuzzer, the coverage recorder), it is
// the one place that answers "which routine, which source line" for a running address.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "expected.h"
#include "pe_image.h"
#include "source_location.h"
#include "source_map.h"

namespace peiboard {

class Module {
 public:
  // The image at the address it runs at (with its names attached, when it has any), and the
  // debug file that describes it, when there is one: the debug file's code, moved by the
  // difference of the entry points, must hold the image's bytes (load_debug_file checks it).
  static std::shared_ptr<const Module> create(PeImage image,
                                              std::optional<SourceMap> debug = std::nullopt);

  const PeImage& image() const { return image_; }
  // The debug file, at the addresses it was linked for; none without one.
  const SourceMap* debug_file() const { return debug_ ? &*debug_ : nullptr; }
  // Where the image runs minus where the debug file puts it (modulo 2^32).
  uint32_t shift() const { return shift_; }

  // The routine, datum or host trap name the link map gives the running address.
  std::optional<std::string> symbol_at(uint32_t address) const;

  // What the source says about the code at the running address, innermost first (see
  // SourceLocation). Empty without a debug file or when no routine of it holds the address.
  std::vector<SourceLocation> inline_chain(uint32_t address) const;
  // The address as reports show it (a trace's WHERE, an assertion's site): "Routine+0x1C
  // (Pkg/File.cpp:57)"; the offset is left out at a routine's first byte, the parenthesis
  // when no line is known. Inlined code reads "Callee (Pkg/Lib.cpp:13) inlined in
  // Caller+0x7 (Pkg/File.cpp:22)", one "inlined in" per level. None when the debug file
  // knows no routine there.
  std::optional<std::string> where(uint32_t address) const;
  // "Pkg/File.cpp:57": the innermost line of the code at the running address.
  std::optional<std::string> source_line(uint32_t address) const;
  // The address the debug file, its line table and a coverage tracefile know the code at a
  // running address by.
  uint32_t coverage_key(uint32_t address) const { return address - shift_; }

 private:
  Module(PeImage image, std::optional<SourceMap> debug);

  PeImage image_;
  std::optional<SourceMap> debug_;
  uint32_t shift_ = 0;
};

// The debug file at `path`, when it describes `image` (see Module::create); else an error
// naming the file, the section and the first byte that differs.
Expected<SourceMap> load_debug_file(const std::filesystem::path& path, const PeImage& image);
Expected<void> debug_file_describes(const SourceMap& map, const PeImage& image);

}  // namespace peiboard
