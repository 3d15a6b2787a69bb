#include "format.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <iterator>

namespace peiboard {

std::string hex(uint64_t value, int digits) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return buffer;
}

std::string status_name(uint32_t status) {
  static const char* const kErrors[] = {nullptr,
                                        "Load Error",
                                        "Invalid Parameter",
                                        "Unsupported",
                                        "Bad Buffer Size",
                                        "Buffer Too Small",
                                        "Not Ready",
                                        "Device Error",
                                        "Write Protected",
                                        "Out of Resources",
                                        "Volume Corrupt",
                                        "Volume Full",
                                        "No Media",
                                        "Media changed",
                                        "Not Found",
                                        "Access Denied",
                                        "No Response",
                                        "No mapping",
                                        "Time out",
                                        "Not started",
                                        "Already started",
                                        "Aborted",
                                        "ICMP Error",
                                        "TFTP Error",
                                        "Protocol Error",
                                        "Incompatible Version",
                                        "Security Violation",
                                        "CRC Error",
                                        "End of Media",
                                        nullptr,
                                        nullptr,
                                        "End of File",
                                        "Invalid Language",
                                        "Compromised Data",
                                        nullptr,
                                        "HTTP Error"};
  static const char* const kWarnings[] = {nullptr,
                                          "Warning Unknown Glyph",
                                          "Warning Delete Failure",
                                          "Warning Write Failure",
                                          "Warning Buffer Too Small",
                                          "Warning Stale Data",
                                          "Warning File System"};
  if (status == 0) return "Success";
  const uint32_t code = status & 0x7FFFFFFF;
  const char* name = nullptr;
  if (status & 0x80000000u) {
    if (code < std::size(kErrors)) name = kErrors[code];
  } else if (code < std::size(kWarnings)) {
    name = kWarnings[code];
  }
  if (name) return name;
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", status);
  return hex;
}

namespace {

// Length of the well-formed UTF-8 sequence at the start of `t` (Unicode 15, table 3-7), or 0.
size_t utf8_sequence(std::string_view t) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(t[i]); };
  const unsigned char b0 = byte(0);
  if (b0 < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;   // no overlong forms
    if (b0 == 0xED) high = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (t.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

std::string pad(std::string body, size_t width, bool left, bool zero) {
  if (body.size() >= width) return body;
  const size_t fill = width - body.size();
  if (left) return body + std::string(fill, ' ');
  if (zero) {
    const size_t sign = !body.empty() && body[0] == '-' ? 1 : 0;
    return body.substr(0, sign) + std::string(fill, '0') + body.substr(sign);
  }
  return std::string(fill, ' ') + body;
}

}  // namespace

std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const size_t n = utf8_sequence(text);
    if (n == 0) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[0]));
      out += escaped;
      text.remove_prefix(1);
    } else {
      out.append(text.substr(0, n));
      text.remove_prefix(n);
    }
  }
  return out;
}

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  auto escape = [&](unsigned char byte) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    out += escaped;
  };
  while (!text.empty()) {
    const auto b0 = static_cast<unsigned char>(text[0]);
    const size_t n = utf8_sequence(text);
    // C1 controls (U+0080 to U+009F) are C2 80 to C2 9F in UTF-8.
    const bool control = b0 < 0x20 || b0 == 0x7F ||
                         (n == 2 && b0 == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0);
    if (n == 0 || control) {
      for (size_t i = 0; i < std::max<size_t>(n, 1); ++i)
        escape(static_cast<unsigned char>(text[i]));
      text.remove_prefix(std::max<size_t>(n, 1));
    } else {
      out.append(text.substr(0, n));
      text.remove_prefix(n);
    }
  }
  return out;
}

std::string render_format(std::string_view format, const FormatArgs& args, size_t max_length) {
  std::string out;
  for (size_t i = 0; i < format.size(); ++i) {
    if (out.size() >= max_length) {
      out.resize(max_length);
      return out + "...(truncated)";
    }
    if (format[i] != '%') {
      out.push_back(format[i]);
      continue;
    }
    const size_t start = i++;
    bool left = false, zero = false, wide = false;
    for (; i < format.size() && (format[i] == '-' || format[i] == '0'); ++i) {
      (format[i] == '-' ? left : zero) = true;
    }
    size_t width = 0;
    for (; i < format.size() && format[i] >= '0' && format[i] <= '9'; ++i) {
      width = std::min(width * 10 + static_cast<unsigned>(format[i] - '0'), max_length);
    }
    for (; i < format.size() && (format[i] == 'l' || format[i] == 'L'); ++i) wide = true;
    if (i >= format.size()) {
      out.append(format.substr(start));
      break;
    }
    auto integer = [&]() -> uint64_t {
      const uint64_t low = args.next32();
      return wide ? low | static_cast<uint64_t>(args.next32()) << 32 : low;
    };
    char buffer[32];
    std::string body;
    switch (format[i]) {
      case 'd':
      case 'i': {
        const uint64_t raw = integer();
        const int64_t value =
            wide ? static_cast<int64_t>(raw) : static_cast<int64_t>(static_cast<int32_t>(raw));
        body.assign(buffer, std::to_chars(buffer, std::end(buffer), value).ptr);
        break;
      }
      case 'u':
        body.assign(buffer, std::to_chars(buffer, std::end(buffer), integer()).ptr);
        break;
      case 'x':
      case 'X':
      case 'p':
        body.assign(buffer, std::to_chars(buffer, std::end(buffer), integer(), 16).ptr);
        if (format[i] == 'X') {
          for (char& c : body) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        if (format[i] == 'p') body = pad(body, 8, false, true);
        break;
      case 'c':
        body.push_back(static_cast<char>(args.next32()));
        break;
      case 'a':
      case 's':
        body = args.string_at(args.next32());
        zero = false;
        break;
      case 'r':
        body = status_name(args.next32());
        zero = false;
        break;
      case '%':
        body = "%";
        break;
      default:
        body = std::string(format.substr(start, i - start + 1));
        width = 0;
        break;
    }
    out += pad(std::move(body), width, left, zero);
  }
  if (out.size() > max_length) {
    out.resize(max_length);
    out += "...(truncated)";
  }
  return out;
}

}  // namespace peiboard
