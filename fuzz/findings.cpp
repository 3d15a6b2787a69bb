#include "findings.h"

namespace peiboard::fuzz {
namespace {

// The routine that made the first write a device refused, from the log's trace.
std::optional<std::string> first_blocked_writer(const RunLog& log) {
  for (const TraceRecord& t : log.trace) {
    // Bus aborts drop writes too, but that is no device refusing one.
    if (t.kind == TraceRecord::Kind::kWrite && t.what.find("(dropped") != std::string::npos &&
        !t.what.starts_with("bus abort")) {
      return t.routine;
    }
  }
  return std::nullopt;
}

// The same from a board that kept no trace: `scenario` booted again with one.
std::string blocked_writer(Board& board, const Scenario& scenario) {
  if (board.log().tracing) return first_blocked_writer(board.log()).value_or("(unknown)");
  std::optional<std::string> routine;
  if (board.reset(scenario)) {
    board.log().tracing = true;
    board.boot();
    routine = first_blocked_writer(board.log());
    board.log().tracing = false;
  }
  return routine.value_or("(unknown)");
}

// Whether the fault happened inside a block of guest code, so that the block that ran last is
// the one that faulted.
bool inside_block(FaultKind kind) {
  switch (kind) {
    case FaultKind::kReadUnmapped:
    case FaultKind::kWriteUnmapped:
    case FaultKind::kWriteProtected:
    case FaultKind::kInvalidInstruction:
    case FaultKind::kCpuException:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::optional<Cause> finding_of(Board& board, const Scenario& scenario, const RunResult& result,
                                Mode mode) {
  if (result.fault && result.fault->stop != StopKind::kHalted) {
    // Without exact EIP the engine's instruction pointer inside a block depends on which
    // blocks it had chained before, that is on what the board booted earlier; the last block
    // that started does not.
    const bool exact = board.machine().precise() || !inside_block(result.fault->kind);
    return Cause{result.fault->text(),
                 exact ? result.fault->routine : board.routine_at(board.machine().last_block())};
  }
  if (mode == Mode::kPlatform && board.log().blocked_writes > 0) {
    return Cause{"blocked write", blocked_writer(board, scenario)};
  }
  return std::nullopt;
}

}  // namespace peiboard::fuzz
