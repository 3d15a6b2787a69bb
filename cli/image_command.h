// What `peiboard image` shows: the inspected tree of the input in whatever form (image_tree.h),
// every part with its offset and size and what is broken in it, then the module image's names
// split into routines and data.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "image_tree.h"
#include "pe_image.h"

namespace peiboard {

struct ImageView {
  std::string path;
  Inspection inspection;
  std::optional<PeImage> image;  // the module's image, when its headers could be read
  std::string names_from;        // "link map PATH" or "debug file PATH"; empty without names
  std::string names_hint;        // without names: which file to pass
};

std::string image_text(const ImageView& view);

// {"image": str, "form": str, "broken": bool, "tree": PART, "module": {"offset", "size",
//  "image_base", "entry", "placed": int|null}|null, "names": {"from": str|null,
//  "routines": [{"name", "address"}...], "data": [...]}} where PART is {"kind", "title",
//  "offset", "size", "fields": {str: str}, "problems": [{"what", "holds", "should"}...],
//  "children": [PART...]}.
nlohmann::ordered_json image_json(const ImageView& view);

}  // namespace peiboard
