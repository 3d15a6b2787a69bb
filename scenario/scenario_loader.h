// Reading scenarios: the compiled-in default board and TOML files laid over it.
//
// Every entry point reports a bad file as a ScenarioError value; none throws. A scenario is
// returned only when every key of the file was valid, so nothing is ever half-applied.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "expected.h"
#include "memory_map.h"
#include "scenario.h"

namespace peiboard {

// Where and why a scenario file was rejected. `line` and `column` are 1-based, 0 when the
// error concerns the whole file (it cannot be read); `key` is the dotted key, with list
// indices (`ptss.entries[3].lane`), empty for syntax errors.
struct ScenarioError {
  std::string file;
  int line = 0;
  int column = 0;
  std::string key;
  std::string message;

  // "file:line: key 'pch.lane_owner': expected 4 integers, got 3"; the line and the key part
  // are left out when there is none.
  std::string to_string() const;
};

// A value of type T, or the ScenarioError that prevented it.
template <class T>
using Result = Expected<T, ScenarioError>;

// What the board's memory map leaves to a scenario.
// The first window boundary above the board's RAM and trap page, the last below the PCR window.
inline constexpr uint32_t kEcamLowest = static_cast<uint32_t>(hw::kEcamSize);
inline constexpr uint32_t kEcamHighest =
    static_cast<uint32_t>((hw::kPcrBase & ~(hw::kEcamSize - 1)) - hw::kEcamSize);
static_assert(kEcamLowest >= ram::kTrapBase + ram::kTrapPageSize);
inline constexpr uint32_t kHobListCapacity = ram::kHobsSize;  // bytes of HOBs, headers included
inline constexpr size_t kMaxMcfgEntries = 4096;

// The rules that tie values together or to the board's memory map: the configuration
// window's place, the PWRM block overlapping nothing else, the HOB list fitting its room.
// The error names the offending key; its file, line and column are left to the caller.
Result<void> check_layout(const Scenario& scenario);

// The text of scenarios/default.toml as it was when the program was built (generated file).
std::string_view default_scenario_text();

// The default board: default_scenario_text() read over a default-constructed Scenario, with
// source "<default>". Aborts with a message if the built-in text is invalid (a build defect
// the tests catch).
Scenario default_scenario();

// Lays every key of `text` (TOML) over `base`. `source_name` goes into Scenario::source and
// into every error. Returns the scenario, or the first error found: a syntax error, an unknown
// table or key, a value of the wrong type, out of range for its field, or a list of the wrong
// length. `base` is never modified.
Result<Scenario> overlay_scenario(const Scenario& base, std::string_view text,
                                  std::string source_name);

// overlay_scenario() over the default board: what a scenario file means. The file's name
// (without extension) is its name unless it sets one, and its [expect] is its own: the default
// board's expectations are not inherited.
Result<Scenario> parse_scenario(std::string_view text, std::string source_name);

// Scenario files are text of at most this size (the largest valid file, every GUID HOB at
// its maximum, is a few MiB).
inline constexpr uint64_t kMaxScenarioFileSize = 16u << 20;

// Reads the file and parses it as above, with the path as given for its source name.
// A file that cannot be read (missing, not a regular file, too large) is an error naming
// it, with line 0.
Result<Scenario> load_scenario_file(const std::filesystem::path& path);

}  // namespace peiboard
