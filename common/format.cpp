#include "format.h"

#include <cstdio>

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

std::string pad(std::string body, unsigned width, bool left, bool zero) {
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

std::string render_format(std::string_view format, const FormatArgs& args) {
  std::string out;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out.push_back(format[i]);
      continue;
    }
    const size_t start = i++;
    bool left = false, zero = false, wide = false;
    for (; i < format.size() && (format[i] == '-' || format[i] == '0'); ++i) {
      (format[i] == '-' ? left : zero) = true;
    }
    unsigned width = 0;
    for (; i < format.size() && format[i] >= '0' && format[i] <= '9'; ++i) {
      width = width * 10 + static_cast<unsigned>(format[i] - '0');
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
        std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(value));
        body = buffer;
        break;
      }
      case 'u':
        std::snprintf(buffer, sizeof buffer, "%llu", static_cast<unsigned long long>(integer()));
        body = buffer;
        break;
      case 'x':
      case 'X':
      case 'p':
        std::snprintf(buffer, sizeof buffer, format[i] == 'X' ? "%llX" : "%llx",
                      static_cast<unsigned long long>(integer()));
        body = buffer;
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
  return out;
}

}  // namespace peiboard
