// Files as the command line meets them. Input: only regular files of bounded size are read,
// so a device, a FIFO or a directory named by mistake is an error, not a hang. Output: written
// whole or not at all, never through a link and never over anything but a regular file.
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

// Writes `bytes` to `path` whole or not at all: into a temporary file beside it, created new
// under a name no other file has (never opened through a link), then renamed over `path` once
// every byte is on disk. What stands at `path` must be a regular file or nothing: a symbolic
// link, a device, a FIFO, a socket or a directory there is refused and left as it is. Fails
// with a message that starts with the path; no temporary file stays behind.
Expected<void> write_output_file(const std::filesystem::path& path, std::span<const uint8_t> bytes);
// The same for text.
Expected<void> write_output_file(const std::filesystem::path& path, std::string_view text);

// Whether create_output_file() wrote the file or found the name taken.
enum class Created : uint8_t { kWritten, kNameTaken };
// Writes `text` to `path` as write_output_file() does, but only as a new file: when anything
// already has that name (a file, a link, even a dangling one) nothing is written or changed
// and the result is kNameTaken. Two writers racing for one name: exactly one gets it.
Expected<Created> create_output_file(const std::filesystem::path& path, std::string_view text);

}  // namespace peiboard
