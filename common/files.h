// Input files as the command line meets them: only regular files of bounded size are read,
// so a device, a FIFO or a directory named by mistake is an error, not a hang.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "expected.h"

namespace peiboard {

// Reads the whole of `path`. Fails, with a message that starts with the path, when the file
// cannot be opened, is not a regular file (a directory, device, FIFO or socket), is larger
// than `max_size` bytes, or changes size while it is read. `what` names the file's role in
// the message ("scenario file", "image", "link map").
Expected<std::vector<uint8_t>> read_input_file(const std::filesystem::path& path, uint64_t max_size,
                                               const std::string& what);

// Writes `bytes` to `path` whole or not at all: into a temporary file beside it, renamed over
// `path` once every byte is on disk. Fails with a message that starts with the path.
Expected<void> write_output_file(const std::filesystem::path& path, std::span<const uint8_t> bytes);
// The same for text.
Expected<void> write_output_file(const std::filesystem::path& path, std::string_view text);

}  // namespace peiboard
