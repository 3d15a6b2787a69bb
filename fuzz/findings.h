// What makes a boot a finding, and its cause: how the run stopped and the routine
// answerable for it. One cause is one bug as far as the campaign can tell.
#pragma once

#include <optional>
#include <string>

#include "board.h"
#include "platforms.h"

namespace peiboard::fuzz {

struct Cause {
  std::string kind;     // "fault: write unmapped", "hang: ...", "blocked write", "host error"
  std::string routine;  // the routine answerable; for a host error, the host's message

  std::string text() const { return kind + " in " + routine; }
  // Whether `peiboard run` reports it as a stopped run.
  bool stops_run() const { return kind.starts_with("fault") || kind.starts_with("hang"); }
  bool operator==(const Cause&) const = default;
};

// The finding of a boot of `scenario` that gave `result` on `board`, if any: a fault or a
// hang (never a halt: an assertion is the module's own report), and in platform mode also a
// write a device refused. A fault inside a block is blamed on the routine of the block that
// ran last, which a board that is not precise knows whatever it booted before. To name the
// routine of a refused write a board that keeps no trace boots `scenario` again with one, so
// its log then holds that second boot.
std::optional<Cause> finding_of(Board& board, const Scenario& scenario, const RunResult& result,
                                Mode mode);

}  // namespace peiboard::fuzz
