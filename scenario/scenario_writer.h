// Scenario to TOML: the file a board engineer would write for it, naming only what differs
// from the default board, so that parse_scenario() reads it back to an equal Scenario. It
// writes every key through the scenario schema (scenario_schema.h), as the reader reads them.
#pragma once

#include <string>

#include "expected.h"
#include "scenario.h"

namespace peiboard {

// The text of a scenario file for `scenario`: its name, every key whose value differs from
// default_scenario(), and every expectation it holds. `source` is not part of a file: a
// reader gives the scenario whatever source name it parses the text under.
//
// Fails (naming the key) only for values no scenario file can hold: a 64-bit field above
// 2^63 - 1 (TOML integers are signed) or a string that is not UTF-8.
Expected<std::string> write_scenario(const Scenario& scenario);

}  // namespace peiboard
