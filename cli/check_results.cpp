#include "check_results.h"

#include <cstdio>
#include <filesystem>

#include "format.h"

namespace peiboard {
namespace {

bool failed(const CheckEntry& e) { return e.verdict != CheckEntry::Verdict::kOk; }

size_t count_failed(const std::vector<CheckEntry>& entries) {
  size_t n = 0;
  for (const auto& e : entries) n += failed(e) ? 1 : 0;
  return n;
}

const char* verdict_name(CheckEntry::Verdict v) {
  switch (v) {
    case CheckEntry::Verdict::kOk:
      return "ok";
    case CheckEntry::Verdict::kFailed:
      return "failed";
    case CheckEntry::Verdict::kError:
      return "error";
  }
  return "?";
}

// Text as XML 1.0 character data or an attribute value: markup characters as entities, and
// what XML cannot hold at all (control characters other than tab and line breaks, bytes that
// are not UTF-8, U+FFFE and U+FFFF) as the four characters \xNN per byte.
// In an attribute (`attribute`), line breaks and tabs are written as references so that
// attribute-value normalization keeps them.
std::string xml(const std::string& raw, bool attribute = true) {
  const std::string text = valid_utf8(raw);
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool nonchar = c == 0xEF && i + 2 < text.size() &&
                         static_cast<unsigned char>(text[i + 1]) == 0xBF &&
                         (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE;
    if (nonchar || (c < 0x20 && c != '\t' && c != '\n' && c != '\r')) {
      for (size_t k = 0; k < (nonchar ? 3u : 1u); ++k) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[i + k]));
        out += escaped;
      }
      i += nonchar ? 2 : 0;
      continue;
    }
    if (!attribute && (c == '\n' || c == '\t')) {
      out += static_cast<char>(c);
      continue;
    }
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      case '\t':
        out += "&#9;";
        break;
      default:
        out += static_cast<char>(c);
    }
  }
  return out;
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

}  // namespace

std::string check_text(const std::vector<CheckEntry>& entries) {
  std::string out;
  for (const auto& e : entries) {
    // Names come from file names and scenario files: escaped, so none acts on the terminal.
    out += (failed(e) ? "FAIL  " : "ok    ") + printable(e.path) + "\n";
    if (e.verdict == CheckEntry::Verdict::kError) out += "      " + printable(e.error) + "\n";
    for (const auto& d : e.differences) out += "      " + printable(d) + "\n";
  }
  const size_t bad = count_failed(entries);
  out += std::to_string(entries.size() - bad) + " ok, " + std::to_string(bad) + " failed\n";
  return out;
}

nlohmann::ordered_json check_json(const std::vector<CheckEntry>& entries,
                                  const std::string& image) {
  nlohmann::ordered_json j;
  j["image"] = valid_utf8(image);
  auto& list = j["scenarios"] = nlohmann::ordered_json::array();
  for (const auto& e : entries) {
    nlohmann::ordered_json item;
    item["path"] = valid_utf8(e.path);
    item["name"] = valid_utf8(e.name);
    item["verdict"] = verdict_name(e.verdict);
    auto& differences = item["differences"] = nlohmann::ordered_json::array();
    for (const auto& d : e.differences) differences.push_back(valid_utf8(d));
    item["error"] = e.verdict == CheckEntry::Verdict::kError
                        ? nlohmann::ordered_json(valid_utf8(e.error))
                        : nlohmann::ordered_json(nullptr);
    list.push_back(std::move(item));
  }
  const size_t bad = count_failed(entries);
  j["ok"] = entries.size() - bad;
  j["failed"] = bad;
  return j;
}

std::string check_junit(const std::vector<CheckEntry>& entries) {
  size_t failures = 0, errors = 0;
  double total = 0;
  for (const auto& e : entries) {
    failures += e.verdict == CheckEntry::Verdict::kFailed ? 1 : 0;
    errors += e.verdict == CheckEntry::Verdict::kError ? 1 : 0;
    total += e.seconds;
  }
  const std::string counts = " tests=\"" + std::to_string(entries.size()) + "\" failures=\"" +
                             std::to_string(failures) + "\" errors=\"" + std::to_string(errors) +
                             "\"";
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out +=
      "<testsuites name=\"peiboard check\"" + counts + " time=\"" + seconds_text(total) + "\">\n";
  out += "  <testsuite name=\"peiboard check\"" + counts + " skipped=\"0\" time=\"" +
         seconds_text(total) + "\">\n";
  for (const auto& e : entries) {
    std::string folder = std::filesystem::path(e.path).parent_path().string();
    out += "    <testcase classname=\"" + xml(folder.empty() ? "." : folder) + "\" name=\"" +
           xml(e.path) + "\" time=\"" + seconds_text(e.seconds) + "\"";
    switch (e.verdict) {
      case CheckEntry::Verdict::kOk:
        out += "/>\n";
        continue;
      case CheckEntry::Verdict::kFailed:
        out += ">\n      <failure type=\"expectation\" message=\"" +
               xml(std::to_string(e.differences.size()) + (e.differences.size() == 1
                                                               ? " difference from [expect]"
                                                               : " differences from [expect]")) +
               "\">" + xml(joined(e.differences), false) + "</failure>\n";
        break;
      case CheckEntry::Verdict::kError:
        out += ">\n      <error type=\"input\" message=\"" + xml(e.error) + "\">" +
               xml(e.error, false) + "</error>\n";
        break;
    }
    out += "    </testcase>\n";
  }
  out += "  </testsuite>\n</testsuites>\n";
  return out;
}

}  // namespace peiboard
