// What a run shows a board engineer: the JSON object other tools read, the human report,
// and the comparison with a scenario's expectations.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "board.h"
#include "scenario.h"

namespace peiboard {

struct RunStats {
  uint64_t instructions = 0;
  uint64_t register_accesses = 0;
  uint64_t bus_aborts = 0;
  uint64_t blocked_writes = 0;
  uint64_t service_calls = 0;
  uint64_t ppi_calls = 0;
  uint64_t pool_bytes = 0;
  uint64_t heci_requests = 0;
};

RunStats collect_stats(Board& board, const RunResult& result);

// Every instruction of the module's a precise board runs, in order, up to a cap:
// `run --trace=insn`. The trap page's RETs stand in for the host's routines and are left out,
// as the stats' instruction count leaves them out.
class InstructionTrace final : public DebugObserver {
 public:
  static constexpr size_t kMax = 200'000;
  void before_instruction(uint32_t address) override {
    if (address - Machine::kTrapBase < Machine::kTrapPageSize) return;
    if (addresses_.size() < kMax) {
      addresses_.push_back(address);
    } else {
      ++dropped_;
    }
  }
  void on_stop(const StopInfo&) override {}
  const std::vector<uint32_t>& addresses() const { return addresses_; }
  uint64_t dropped() const { return dropped_; }

 private:
  std::vector<uint32_t> addresses_;
  uint64_t dropped_ = 0;
};

// With `instructions`, the object also lists each instruction the run executed.
nlohmann::ordered_json run_json(Board& board, const RunResult& result, bool with_trace,
                                const InstructionTrace* instructions = nullptr);

// The console as the module printed it, with assertions marked on lines of their own; with
// a board, each assertion also names where the module made it.
std::string console_text(const std::vector<Event>& events, const Board* board = nullptr);

std::string human_report(Board& board, const RunResult& result, bool with_trace,
                         const InstructionTrace* instructions = nullptr);

// The lane records that differ between two policies, each decoded into its settings.
std::string policy_changes(const PolicyConfig& before, const PolicyConfig& after);

// Every way the run differs from what the scenario expects; empty when it matches.
std::vector<std::string> check_expectations(const ExpectConfig& expect, Board& board,
                                            const RunResult& result);

// How `check` and `coverage` judge a boot: by the scenario's [expect] when it has one, else
// by whether the run ended normally. Empty when the boot passes.
std::vector<std::string> boot_verdict(const ExpectConfig& expect, Board& board,
                                      const RunResult& result);

}  // namespace peiboard
