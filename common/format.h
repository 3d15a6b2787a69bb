// The debug-services PPI's renderer of the module's format strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace peiboard {

// "0x" and the value in upper-case hexadecimal, zero-padded to `digits`.
std::string hex(uint64_t value, int digits = 0);

// `text` as valid UTF-8 for a JSON report: well-formed UTF-8 sequences pass unchanged, and
// every other byte becomes the four characters \xNN (upper-case hex). Module text is 8-bit
// and may hold anything.
std::string valid_utf8(std::string_view text);
// `text` (a file or scenario name, a message holding one) as it may go to a terminal: as
// valid_utf8(), and control characters (C0, DEL, C1) become \xNN too, one per byte, so that
// no name can move the cursor, recolour or retitle the terminal, or start a line of its own.
std::string printable(std::string_view text);

// Name of an EFI_STATUS as UEFI 2.x lists it ("Success", "Not Ready", ...),
// or its value in hexadecimal when it has no listed name.
std::string status_name(uint32_t status);

// Where the arguments come from: successive 32-bit stack slots, and guest strings.
struct FormatArgs {
  std::function<uint32_t()> next32;
  std::function<std::string(uint32_t address)> string_at;
};

// Renders %d %i %u %x %X %c %a %s %r %p %% with '-' and '0' flags, a width and the 'l'
// (64-bit) modifier. A conversion it does not know is copied through as written. The text
// stops at `max_length` bytes, marked "...(truncated)", however wide the fields ask to be.
std::string render_format(std::string_view format, const FormatArgs& args,
                          size_t max_length = 1u << 20);

}  // namespace peiboard
