// Where the names of the module's routines and data come from when `peiboard` loads an image:
// its link map, else the symbol table of its debug file. An image needs neither to boot (its
// entry point is in its header); the names make reports readable and let a scenario replace
// the PTSS tables.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "expected.h"
#include "link_map.h"
#include "pe_image.h"

namespace peiboard {

// The C-linkage routines and data of the debug file at `elf`, placed for `image`: the debug
// file and the image share their entry point, so the names move by the distance between the
// two. Fails when the file cannot be read or is not the module's debug file.
Expected<LinkMap> names_from_debug_file(const std::filesystem::path& elf, const PeImage& image);

// Says which files would give an image without names its names: the link map and the debug
// file the build writes beside NAME.efi, NAME being the module's name.
std::string names_hint(const std::string& module_name);

}  // namespace peiboard
