// Coverage of the module from boots of the emulated board: an observer that turns the basic
// blocks the machine runs into the module's blocks and the edges between them, and the boots
// behind `peiboard coverage`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "board.h"
#include "coverage.h"
#include "disassembler.h"
#include "expected.h"
#include "machine.h"
#include "pe_image.h"
#include "scenario.h"

namespace peiboard {

// Adds every block the machine runs to a Coverage, and every edge the guest's own control flow
// took from one block to the next. The machine calls in and out of the guest, so consecutive
// blocks are not always a jump of the module's; an edge is left out when
// - either block lies in the trap page (Machine::kTrapBase): that code is the host's, and a
//   block there ends the module's flow;
// - the second block runs at another call depth: the host entered it from a trap (a notify
//   callback inside ReInstallPpi) or returned into it from one; each depth keeps its own flow;
// - the first block ends with a call and the second is the call's next instruction: the callee
//   was the host's (a trap), since a callee of the module's shows blocks of its own first;
// - the first block ends with a return or an interrupt: where it lands is not the module's
//   choice (the host's return trap when a call from the host ends);
// - the first block ends with a conditional branch and the second is neither of its ways out,
//   or with an instruction that passes on to the next one and the second is elsewhere: the run
//   stopped after the first block and the second starts another call.
// So a conditional branch's outcomes are exactly the ones the CPU took.
class CoverageRecorder final : public BlockObserver {
 public:
  // The machine and the coverage outlive the recorder; set it with
  // machine.set_block_observer(&recorder).
  static Expected<CoverageRecorder> create(const Machine& machine, Coverage& coverage);

  void on_block(uint32_t address, uint32_t size) override;
  // A call of the host's ended or a board was reset: the next block starts a new flow.
  void end_run();

  // What was recorded since the recorder was made, for checks on it.
  uint64_t blocks() const { return blocks_; }
  uint64_t edges() const { return edges_; }

 private:
  // What a block's end says about where the CPU may go next.
  struct Shape {
    bool decoded = false;  // false: bytes that are no whole instructions; no edge from it
    uint32_t last = 0;     // address of its last instruction
    uint32_t next = 0;     // the address after it
    FlowKind kind = FlowKind::kNone;
    uint32_t taken = 0;  // a conditional branch's target
  };

  CoverageRecorder(const Machine& machine, Coverage& coverage, Disassembler disassembler);
  const Shape& shape(uint32_t address, uint32_t size);
  static bool flows_to(const Shape& from, uint32_t to);

  const Machine* machine_;
  Coverage* coverage_;
  Disassembler disassembler_;
  std::unordered_map<uint64_t, Shape> shapes_;  // (address << 32 | size) -> its end
  std::vector<std::optional<Shape>> flows_;     // by call depth: the block that ran last
  uint64_t blocks_ = 0, edges_ = 0;
};

// One scenario's boot of a coverage run.
struct CoverageBoot {
  std::string name;  // the scenario's name
  std::optional<RunFault> fault;
  std::vector<std::string> differences;  // boot_verdict's: empty when the boot passes
};

// Boots each scenario once, on one board reset between boots as bulk commands do, and adds
// the module code each boot ran to `coverage`. Fails when a scenario does not fit the board;
// a boot that faults or misses its [expect] is reported in its CoverageBoot, judged as
// `peiboard check` judges it, and what it ran still counts.
Expected<std::vector<CoverageBoot>> boot_for_coverage(const std::vector<Scenario>& scenarios,
                                                      std::shared_ptr<const Module> module,
                                                      Coverage& coverage);

// "lines 93.1% (270 of 290), functions ..., branches ...": the totals of a run.
std::string coverage_totals(const CoverageSummary& summary);

}  // namespace peiboard
