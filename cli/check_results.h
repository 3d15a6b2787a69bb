// The results of `peiboard check`: one entry per scenario file, shown as text for people, as
// JSON for tools and as JUnit XML for CI systems.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace peiboard {

struct CheckEntry {
  enum class Verdict { kOk, kFailed, kError };
  std::string path;  // as named on the command line
  std::string name;  // the scenario's name; empty when the file could not be read
  Verdict verdict = Verdict::kOk;
  std::vector<std::string> differences;  // kFailed: how the boot differs from [expect]
  std::string error;                     // kError: why the file could not be checked
  double seconds = 0;                    // reading, booting and comparing
};

// "ok    PATH" or "FAIL  PATH" per entry, each difference or error indented below it, then
// "N ok, M failed" (errors count as failed).
std::string check_text(const std::vector<CheckEntry>& entries);

// {"image": str, "scenarios": [{"path", "name", "verdict": "ok"|"failed"|"error",
//   "differences": [str...], "error": str|null}...], "ok": int, "failed": int}
nlohmann::ordered_json check_json(const std::vector<CheckEntry>& entries, const std::string& image);

// One JUnit test suite "peiboard check": a test case per entry (class name the file's folder,
// name its path), a <failure> listing the differences, an <error> for a file that could not
// be checked. Text is escaped for XML; bytes that XML cannot hold are written as \xNN.
std::string check_junit(const std::vector<CheckEntry>& entries);

}  // namespace peiboard
