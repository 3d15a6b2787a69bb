#include "coverage_run.h"

#include <cstdio>

#include "report.h"

namespace peiboard {

Expected<CoverageRecorder> CoverageRecorder::create(const Machine& machine, Coverage& coverage) {
  auto disassembler = Disassembler::create();
  if (!disassembler) return disassembler.error();
  return CoverageRecorder(machine, coverage, std::move(disassembler).value());
}

CoverageRecorder::CoverageRecorder(const Machine& machine, Coverage& coverage,
                                   Disassembler disassembler)
    : machine_(&machine), coverage_(&coverage), disassembler_(std::move(disassembler)) {}

const CoverageRecorder::Shape& CoverageRecorder::shape(uint32_t address, uint32_t size) {
  const uint64_t key = uint64_t{address} << 32 | size;
  if (auto it = shapes_.find(key); it != shapes_.end()) return it->second;
  Shape s;
  // The machine only runs code from memory it owns, so the block's bytes are there.
  const std::vector<uint8_t> bytes = machine_->read(address, size);
  if (auto block = disassembler_.block_shape(address, bytes)) {
    const auto last = std::span<const uint8_t>(bytes).subspan(block->last - address);
    if (auto kind = disassembler_.flow_kind(block->last, last)) {
      s.decoded = true;
      s.last = block->last;
      s.next = address + size;
      s.kind = *kind;
      if (auto branch = disassembler_.conditional_branch(block->last, last))
        s.taken = branch->taken;
    }
  }
  return shapes_.emplace(key, s).first->second;
}

bool CoverageRecorder::flows_to(const Shape& from, uint32_t to) {
  if (!from.decoded) return false;
  switch (from.kind) {
    case FlowKind::kConditional:
      return to == from.taken || to == from.next;
    case FlowKind::kCall:
      return to != from.next;
    case FlowKind::kReturn:
    case FlowKind::kInterrupt:
      return false;
    case FlowKind::kJump:
      return true;
    case FlowKind::kNone:
      return to == from.next;
  }
  return false;
}

void CoverageRecorder::on_block(uint32_t address, uint32_t size) {
  const size_t depth = static_cast<size_t>(machine_->depth());
  // Calls that ended since take their flows with them; a deeper call starts with none.
  flows_.resize(depth + 1);
  if (address - Machine::kTrapBase < Machine::kTrapPageSize) {
    flows_[depth].reset();
    return;
  }
  if (size == 0) return;
  coverage_->add_block(address, size);
  ++blocks_;
  const Shape& here = shape(address, size);
  if (flows_[depth] && flows_to(*flows_[depth], address)) {
    coverage_->add_edge(flows_[depth]->last, address);
    ++edges_;
  }
  flows_[depth] = here;
}

void CoverageRecorder::end_run() { flows_.clear(); }

Expected<std::vector<CoverageBoot>> boot_for_coverage(const std::vector<Scenario>& scenarios,
                                                      std::shared_ptr<const Module> module,
                                                      Coverage& coverage) {
  std::vector<CoverageBoot> boots;
  if (scenarios.empty()) return boots;
  auto made = Board::create(scenarios.front(), std::move(module));
  if (!made) return made.error();
  std::unique_ptr<Board> board = std::move(made).value();
  auto recorder = CoverageRecorder::create(board->machine(), coverage);
  if (!recorder) return recorder.error();
  board->machine().set_block_observer(&*recorder);
  for (size_t i = 0; i < scenarios.size(); ++i) {
    if (i > 0) {
      if (auto reset = board->reset(scenarios[i]); !reset) return reset.error();
    }
    // Nothing reads the trace: keep the boots as fast as bulk work makes them.
    board->log().tracing = false;
    const RunResult result = board->boot();
    recorder->end_run();
    boots.push_back(
        {scenarios[i].name, result.fault, boot_verdict(scenarios[i].expect, *board, result)});
  }
  board->machine().set_block_observer(nullptr);
  return boots;
}

std::string coverage_totals(const CoverageSummary& s) {
  auto part = [](const char* what, uint32_t hit, uint32_t found) {
    char text[80];
    std::snprintf(text, sizeof text, "%s %.1f%% (%u of %u)", what,
                  found == 0 ? 0.0 : 100.0 * hit / found, hit, found);
    return std::string(text);
  };
  return part("lines", s.lines_hit, s.lines_found) + ", " +
         part("functions", s.functions_hit, s.functions_found) + ", " +
         part("branches", s.branches_hit, s.branches_found);
}

}  // namespace peiboard
