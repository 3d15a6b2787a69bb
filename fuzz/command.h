// `peiboard fuzz`: runs a campaign, shows its progress and sums it up.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <optional>

#include "fuzzer.h"
#include "module.h"

namespace peiboard::fuzz {

// Where the campaign's source-line coverage goes: an lcov tracefile made with the module's
// debug file, its sources named under `source_root`, as `peiboard coverage` writes it.
struct LcovOutput {
  std::filesystem::path tracefile;
  std::filesystem::path source_root;
};

// Prints the banner first, boots the seeds, then runs the campaign with a progress line on
// `err` about once a second (rewritten in place when `live`, one line each time otherwise)
// and the summary on `out`: text, or with `json` one JSON object (the banner then goes to
// `err`). Gives the exit
// status: 0 without findings, 1 with, 2 when the campaign could not run or save. `lcov` needs
// the module's debug file.
int fuzz_command(std::shared_ptr<const Module> module, FuzzOptions options, std::ostream& out,
                 std::ostream& err, bool live, const std::optional<LcovOutput>& lcov = std::nullopt,
                 bool json = false);

}  // namespace peiboard::fuzz
