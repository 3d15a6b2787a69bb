// A tolerant reader of the module's shipped forms for people inspecting them: it walks a PE32
// or TE image, an FFS file or a firmware volume as far as the bytes allow, and where a part is
// broken it says what the part holds and, where that can be known, what it should hold, then
// goes on with what can still be found. The strict readers (ffs.h, pe_image.h) stay the ones
// that load an image for booting.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace peiboard {

// What is wrong with one field of a part: the value it holds, and the value it should hold
// (empty where no single right value exists, e.g. a size past the end of the input).
struct InspectProblem {
  std::string what;
  std::string holds;
  std::string should;
};

// One part of the input: where it lies (offset from the start of the input, size in bytes),
// what it is, its decoded fields in order, what is broken in it, and the parts inside it.
struct InspectNode {
  std::string kind;   // "volume", "file", "section", "image", "image section", "free space", ...
  std::string title;  // "760DFC9B-... PEIM", "TE image", ".text", ...
  uint64_t offset = 0;
  uint64_t size = 0;
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<InspectProblem> problems;
  std::vector<InspectNode> children;

  // This part or one inside it has a problem.
  bool broken() const;
};

struct Inspection {
  std::string form;  // "PE32 image", "TE image", "FFS file", "firmware volume", "unknown"
  InspectNode root;
  // Where the module's image lies in the input (a PE32 or TE image section's body in a file
  // named with the module's GUID, else the first image section found; the whole input for a
  // bare image), when there is one.
  std::optional<std::pair<uint64_t, uint64_t>> image;
};

// Walks `bytes` in whichever form they are. Never fails: what cannot be read is a problem in
// the tree.
Inspection inspect(std::span<const uint8_t> bytes);

}  // namespace peiboard
