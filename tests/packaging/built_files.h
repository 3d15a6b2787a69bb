// The files the firmware build produced, read once per test binary.
#pragma once

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "../expect_error.h"
#include "files.h"
#include "format.h"
#include "pe_image.h"

namespace peiboard::testing {

inline std::vector<uint8_t> read_built(const char* path) {
  auto bytes = read_input_file(path, PeImage::kMaxFileSize, "built file");
  if (!bytes) throw std::runtime_error(bytes.error().message);
  return std::move(bytes).value();
}

inline const std::vector<uint8_t>& pe32_bytes() {
  static const auto bytes = read_built(PEIBOARD_IMAGE);
  return bytes;
}
inline const std::vector<uint8_t>& te_bytes() {
  static const auto bytes = read_built(PEIBOARD_TE);
  return bytes;
}
inline const std::vector<uint8_t>& ffs_bytes() {
  static const auto bytes = read_built(PEIBOARD_FFS);
  return bytes;
}
inline const std::vector<uint8_t>& fv_bytes() {
  static const auto bytes = read_built(PEIBOARD_FV);
  return bytes;
}
inline const std::string& map_text() {
  static const std::string text = [] {
    const auto bytes = read_built(PEIBOARD_MAP);
    return std::string(bytes.begin(), bytes.end());
  }();
  return text;
}

// The linked image without names; each test takes its own copy to change.
inline PeImage pe32() {
  auto image = PeImage::parse(pe32_bytes());
  if (!image) throw std::runtime_error(image.error().message);
  return std::move(image).value();
}

}  // namespace peiboard::testing
