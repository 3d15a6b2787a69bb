#include "report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>
#include <sstream>
#include <utility>

#include "format.h"

namespace peiboard {
namespace {

// One setting of a lane record: an enable bit and the value field above it. `source` names
// the PTSS register offset and the bits of its value the setting is taken from.
struct Setting {
  unsigned word;
  unsigned enable_bit;
  unsigned value_lsb;
  unsigned value_bits;
  const char* source;

  // The setting in a word: its enable bit and its value.
  std::pair<unsigned, uint32_t> in(uint32_t w) const {
    const uint32_t mask = value_bits >= 32 ? ~0u : (1u << value_bits) - 1;
    return {(w >> enable_bit) & 1, (w >> value_lsb) & mask};
  }
  // The bits of its word the setting holds.
  uint32_t bits() const {
    const uint32_t mask = value_bits >= 32 ? ~0u : (1u << value_bits) - 1;
    return (1u << enable_bit) | (mask << value_lsb);
  }
};

constexpr Setting kSataSettings[] = {
    {0, 0, 1, 6, "154[13:8]"},   {0, 7, 8, 6, "154[5:0]"},    {0, 14, 15, 6, "150[29:24]"},
    {0, 21, 22, 6, "0A0[13:8]"}, {1, 0, 1, 6, "0A0[21:16]"},  {1, 7, 8, 6, "0A0[29:24]"},
    {1, 14, 15, 6, "098[5:0]"},  {1, 21, 22, 6, "098[13:8]"}, {2, 0, 1, 6, "098[21:16]"}};
constexpr Setting kPcieSettings[] = {{0, 0, 1, 6, "164[21:16]"},
                                     {2, 0, 1, 5, "19C[22:18]"},
                                     {2, 6, 7, 8, "1A0[31:24]"},
                                     {3, 0, 1, 24, "1A4[23:0]"},
                                     {3, 25, 26, 5, "11C[31:27]"}};

std::string setting_text(std::pair<unsigned, uint32_t> setting) {
  char cell[16];
  std::snprintf(cell, sizeof cell, "%u:%02X", setting.first, setting.second);
  return cell;
}

// One table row per changed record: each setting as enable:value, marked * where the run
// changed it. A family's header row names each setting's column by the PTSS register offset
// and value bits it comes from.
template <size_t N, size_t W>
void describe_changes(std::ostringstream& out, const char* name,
                      const std::array<std::array<uint32_t, W>, N>& before,
                      const std::array<std::array<uint32_t, W>, N>& after,
                      std::span<const Setting> settings) {
  bool header = false;
  for (size_t r = 0; r < N; ++r) {
    if (before[r] == after[r]) continue;
    char cell[32];
    if (!header) {
      std::string line = name;
      line.resize(16, ' ');
      for (const Setting& s : settings) {
        std::snprintf(cell, sizeof cell, "%-11s", s.source);
        line += cell;
      }
      while (line.back() == ' ') line.pop_back();
      out << line << "\n";
      header = true;
    }
    std::snprintf(cell, sizeof cell, "%s[%zu]", name, r);
    std::string row = cell;
    row.resize(std::max<size_t>(row.size() + 1, 16), ' ');
    for (const Setting& s : settings) {
      const auto was = s.in(before[r][s.word]);
      const auto now = s.in(after[r][s.word]);
      std::snprintf(cell, sizeof cell, "%s%s", setting_text(now).c_str(), was != now ? "*" : "");
      row += cell;
      row.resize(std::max<size_t>(row.size() + 1, row.size() + 11 - std::strlen(cell)), ' ');
    }
    while (!row.empty() && row.back() == ' ') row.pop_back();
    out << row << "\n";
  }
}

nlohmann::ordered_json records_json(const auto& records) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const auto& record : records) {
    nlohmann::ordered_json words = nlohmann::ordered_json::array();
    for (uint32_t w : record) words.push_back(w);
    list.push_back(words);
  }
  return list;
}

const char* trace_kind(TraceRecord::Kind kind) {
  switch (kind) {
    case TraceRecord::Kind::kRead:
      return "read";
    case TraceRecord::Kind::kWrite:
      return "write";
    case TraceRecord::Kind::kService:
      return "service";
    case TraceRecord::Kind::kPpi:
      return "ppi";
    case TraceRecord::Kind::kTruncated:
      return "truncated";
  }
  return "?";
}

// "Routine+0x1C (Pkg/File.cpp:57)", the offset left out at the routine's first byte, the line
// when unknown; an inlined routine adds "inlined in Caller".
std::string frame_text(const StackFrame& f) {
  std::string text = f.routine;
  if (f.offset != 0) text += "+" + hex(f.offset);
  if (f.file) text += " (" + *f.file + ":" + std::to_string(f.line) + ")";
  if (f.inlined_in) text += " inlined in " + *f.inlined_in;
  return text;
}

// The frames of a trace record's callers, innermost first.
std::vector<StackFrame> caller_frames(const Board& board, const TraceRecord& t) {
  std::vector<StackFrame> frames;
  for (uint32_t address : t.callers) {
    for (StackFrame& f : board.frames_at(address, true)) frames.push_back(std::move(f));
  }
  return frames;
}

// The trace's WHERE: the record's site, then with --trace=stack each caller, innermost first,
// as " <- Routine+0x2F".
std::string where(const Board& board, const TraceRecord& t) {
  std::string text = board.where(t.at);
  for (const StackFrame& f : caller_frames(board, t)) {
    text += " <- " + f.routine;
    if (f.offset != 0) text += "+" + hex(f.offset);
  }
  return text;
}

// The general registers as a fault left them, in the order of their encodings.
constexpr std::pair<const char*, uint32_t CpuState::*> kRegisters[] = {
    {"eax", &CpuState::eax},      {"ecx", &CpuState::ecx}, {"edx", &CpuState::edx},
    {"ebx", &CpuState::ebx},      {"esp", &CpuState::esp}, {"ebp", &CpuState::ebp},
    {"esi", &CpuState::esi},      {"edi", &CpuState::edi}, {"eip", &CpuState::eip},
    {"eflags", &CpuState::eflags}};

std::string trace_line(const Board& board, const TraceRecord& t, uint64_t dropped) {
  char b[96];
  if (t.kind == TraceRecord::Kind::kTruncated) {
    return phase_label(t.phase, t.notify_nesting) + " truncated: " + std::to_string(dropped) +
           " more records dropped";
  }
  if (t.kind == TraceRecord::Kind::kRead || t.kind == TraceRecord::Kind::kWrite) {
    std::snprintf(b, sizeof b, "%-8s %-5s %08X/%u = %s",
                  phase_label(t.phase, t.notify_nesting).c_str(), trace_kind(t.kind), t.address,
                  t.width, hex(t.value, static_cast<int>(2 * t.width)).c_str());
    return std::string(b) + "  " + t.what + "  [" + where(board, t) + "]";
  }
  std::snprintf(b, sizeof b, "%-8s %-5s ", phase_label(t.phase, t.notify_nesting).c_str(),
                trace_kind(t.kind));
  return std::string(b) + t.what + " -> " + status_name(static_cast<uint32_t>(t.value)) + "  [" +
         where(board, t) + "]";
}

// The faulting instruction and the few that lead to it, as "0xFFF0026D  mov word ptr ...".
std::vector<std::string> fault_instructions(const Board& board, const RunFault& f) {
  std::vector<std::string> lines;
  if (f.kind == FaultKind::kHalted) return lines;  // a halt is the host's doing, not an instruction
  for (const Instruction& i : board.instructions_to(f.eip, 4)) {
    lines.push_back(hex(i.address, 8) + "  " + i.text);
  }
  return lines;
}

std::string status_text(uint32_t status) {
  return hex(status, 8) + " (" + status_name(status) + ")";
}

bool board_first(const Board& board) {
  return board.scenario().foundation.system_board_ppi == SystemBoardOrder::kBeforeEntry;
}

nlohmann::ordered_json guid_list_json(const std::vector<Guid>& guids) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const Guid& g : guids) list.push_back(guid_text(g));
  return list;
}

// "the dependency expression PUSH ... END does not hold: not installed ...".
std::string not_dispatched_text(const NotDispatched& n) {
  std::string text = "the dependency expression " + depex_text(n.expression) + " does not hold";
  if (n.missing.empty()) return text;
  text += "; not installed:";
  for (const Guid& g : n.missing) text += " " + guid_text(g);
  return text;
}

}  // namespace

RunStats collect_stats(Board& board, const RunResult& result) {
  RunStats s;
  s.instructions = result.instructions;
  s.register_accesses = board.log().register_accesses;
  s.service_calls = board.log().service_calls;
  s.ppi_calls = board.log().ppi_calls;
  s.bus_aborts = board.log().bus_aborts;
  s.blocked_writes = board.log().blocked_writes;
  s.pool_bytes = board.foundation().pool_used();
  s.heci_requests = board.ppis().heci_request_count;
  return s;
}

nlohmann::ordered_json run_json(Board& board, const RunResult& result, bool with_trace,
                                const InstructionTrace* instructions) {
  const auto text = [](const std::string& t) { return valid_utf8(t); };
  nlohmann::ordered_json j;
  j["scenario"] = text(board.scenario().name);
  j["entry_status"] = result.entry_status ? nlohmann::ordered_json(*result.entry_status)
                                          : nlohmann::ordered_json(nullptr);
  j["notify_statuses"] = result.notify_statuses;
  j["slot15_called"] = result.slot15_called;
  if (const auto& n = result.not_dispatched) {
    j["not_dispatched"] = {{"expression", depex_text(n->expression)},
                           {"missing", guid_list_json(n->missing)}};
  }
  if (board_first(board)) {
    j["system_board_ppi"] = order_name(SystemBoardOrder::kBeforeEntry);
    auto& runs = j["notifies"] = nlohmann::ordered_json::array();
    for (const auto& r : board.foundation().notify_runs()) {
      runs.push_back({{"phase", phase_label(r.phase, r.notify_nesting)},
                      {"trigger", trigger_name(r.trigger)},
                      {"depth", r.depth},
                      {"routine", text(board.routine_at(r.routine))},
                      {"guid", guid_text(r.guid)},
                      {"status", r.status ? nlohmann::ordered_json(*r.status) : nullptr}});
    }
  }
  auto& events = j["events"] = nlohmann::ordered_json::array();
  for (const auto& e : board.log().events) {
    nlohmann::ordered_json item;
    item["phase"] = phase_label(e.phase, e.notify_nesting);
    switch (e.kind) {
      case Event::Kind::kPrint:
        item["kind"] = "print";
        item["level"] = e.level;
        item["text"] = text(e.text);
        break;
      case Event::Kind::kAssert:
        item["kind"] = "assert";
        item["file"] = text(e.file);
        item["line"] = e.line;
        item["text"] = text(e.text);
        item["at"] = text(board.where(e.at));
        break;
      case Event::Kind::kTruncated:
        item["kind"] = "truncated";
        item["dropped"] = board.log().events_dropped;
        break;
    }
    events.push_back(item);
  }
  j["policy"] = {{"sata", records_json(result.policy.sata)},
                 {"ssata", records_json(result.policy.ssata)},
                 {"pcie_rp", records_json(result.policy.pcie_rp)},
                 {"pcie_direct", records_json(result.policy.pcie_direct)}};
  j["pmc"] = {{"acpi_base", result.acpi_base}, {"acpi_control", result.acpi_control}};
  if (const auto& f = result.fault) {
    j["fault"] = {
        {"kind", f->text()},           {"address", f->address},     {"eip", f->eip},
        {"routine", text(f->routine)}, {"region", text(f->region)}, {"detail", text(f->detail)}};
    const auto source = board.source_line(f->eip);
    j["fault"]["source"] = source ? nlohmann::ordered_json(text(*source)) : nullptr;
    j["fault"]["instructions"] = fault_instructions(board, *f);
    auto& frames = j["fault"]["backtrace"] = nlohmann::ordered_json::array();
    for (const StackFrame& frame : f->backtrace) {
      frames.push_back(
          {{"address", frame.address},
           {"routine", text(frame.routine)},
           {"offset", frame.offset},
           {"file", frame.file ? nlohmann::ordered_json(text(*frame.file)) : nullptr},
           {"line", frame.file ? nlohmann::ordered_json(frame.line) : nullptr},
           {"inlined_in",
            frame.inlined_in ? nlohmann::ordered_json(text(*frame.inlined_in)) : nullptr}});
    }
    auto& registers = j["fault"]["registers"] = nlohmann::ordered_json::object();
    for (const auto& [name, value] : kRegisters) registers[name] = f->registers.*value;
  } else {
    j["fault"] = nullptr;
  }
  const RunStats s = collect_stats(board, result);
  j["stats"] = {{"instructions", s.instructions},   {"register_accesses", s.register_accesses},
                {"bus_aborts", s.bus_aborts},       {"blocked_writes", s.blocked_writes},
                {"service_calls", s.service_calls}, {"ppi_calls", s.ppi_calls},
                {"pool_bytes", s.pool_bytes},       {"heci_requests", s.heci_requests}};
  if (with_trace) {
    auto& trace = j["trace"] = nlohmann::ordered_json::array();
    for (const auto& t : board.log().trace) {
      if (t.kind == TraceRecord::Kind::kTruncated) {
        trace.push_back({{"phase", phase_label(t.phase, t.notify_nesting)},
                         {"kind", trace_kind(t.kind)},
                         {"dropped", board.log().trace_dropped}});
        continue;
      }
      trace.push_back({{"phase", phase_label(t.phase, t.notify_nesting)},
                       {"kind", trace_kind(t.kind)},
                       {"address", t.address},
                       {"width", t.width},
                       {"value", t.value},
                       {"routine", text(t.routine)},
                       {"what", text(t.what)},
                       {"at", text(board.where(t.at))}});
      if (board.log().callers_of) {
        auto& callers = trace.back()["callers"] = nlohmann::ordered_json::array();
        for (const StackFrame& frame : caller_frames(board, t)) {
          callers.push_back(text(frame_text(frame)));
        }
      }
    }
  }
  if (instructions) {
    auto& list = j["instructions"] = nlohmann::ordered_json::array();
    for (uint32_t address : instructions->addresses()) {
      list.push_back({{"address", address}, {"text", text(board.instruction_at(address))}});
    }
    j["instructions_dropped"] = instructions->dropped();
  }
  return j;
}

std::string console_text(const std::vector<Event>& events, const Board* board) {
  std::string out;
  for (const auto& e : events) {
    if (e.kind == Event::Kind::kPrint) {
      out += e.text;
      continue;
    }
    if (!out.empty() && out.back() != '\n') out += '\n';
    if (e.kind == Event::Kind::kTruncated) {
      out += "!! TRUNCATED: the log's cap was reached; later prints and assertions are dropped\n";
      continue;
    }
    out += "!! ASSERT " + e.file + "(" + std::to_string(e.line) + "): " + e.text;
    if (board) out += "   [" + board->where(e.at) + "]";
    out += "\n";
  }
  if (!out.empty() && out.back() != '\n') out += '\n';
  return out;
}

std::string policy_changes(const PolicyConfig& before, const PolicyConfig& after) {
  std::ostringstream out;
  describe_changes(out, "sata", before.sata, after.sata, kSataSettings);
  describe_changes(out, "ssata", before.ssata, after.ssata, kSataSettings);
  describe_changes(out, "pcie_rp", before.pcie_rp, after.pcie_rp, kPcieSettings);
  describe_changes(out, "pcie_direct", before.pcie_direct, after.pcie_direct, kPcieSettings);
  return out.str();
}

std::string human_report(Board& board, const RunResult& result, bool with_trace,
                         const InstructionTrace* instructions) {
  std::ostringstream out;
  out << "peiboard: " << printable(board.scenario().name) << " ("
      << printable(board.scenario().source) << ")\n";
  out << "\n== console ==\n" << console_text(board.log().events, &board);
  out << "\n== boot ==\n";
  if (board_first(board)) {
    out << "order:    System Board PPI installed before the entry point\n";
  }
  if (result.not_dispatched) {
    out << "dispatch: not dispatched: " << not_dispatched_text(*result.not_dispatched) << "\n";
  } else {
    out << "dispatch: entry status "
        << (result.entry_status ? status_text(*result.entry_status) : std::string("none")) << "\n";
  }
  if (board_first(board)) {
    // Each notify routine under the one it ran inside, with the service that ran it.
    for (const auto& r : board.foundation().notify_runs()) {
      out << (&r == &board.foundation().notify_runs().front() ? "notify:   " : "          ")
          << std::string(2 * (r.depth - 1), ' ') << board.routine_at(r.routine) << " by "
          << trigger_name(r.trigger) << " [" << phase_label(r.phase, r.notify_nesting) << "] -> "
          << (r.status ? status_text(*r.status) : std::string("none")) << "\n";
    }
  }
  out << "install:  notify statuses";
  if (result.notify_statuses.empty()) out << " none";
  for (uint32_t s : result.notify_statuses) out << " " << status_text(s);
  out << "\nchipset:  slot 15 " << (result.slot15_called ? "called" : "not called") << "\n";
  out << "PMC:      ACPI base " << hex(result.acpi_base, 4) << ", ACPI control "
      << hex(result.acpi_control, 2) << "\n";
  if (const auto& f = result.fault) {
    out << "FAULT:    " << f->text() << " at " << hex(f->address, 8) << ", eip " << hex(f->eip, 8)
        << " in " << f->routine << "\n";
    if (board.source_line(f->eip)) out << "          at " << board.where(f->eip) << "\n";
    if (!f->region.empty()) out << "          region: " << f->region << "\n";
    if (!f->detail.empty() && f->kind != FaultKind::kHalted) {
      out << "          detail: " << f->detail << "\n";
    }
    const auto leading = fault_instructions(board, *f);
    for (size_t i = 0; i < leading.size(); ++i) {
      out << (i + 1 == leading.size() ? "       => " : "          ") << leading[i] << "\n";
    }
    out << "          registers:";
    for (size_t i = 0; i < std::size(kRegisters); ++i) {
      if (i == 4 || i == 8) out << "\n                    ";
      out << " " << kRegisters[i].first << " " << hex(f->registers.*kRegisters[i].second, 8);
    }
    out << "\n          backtrace:\n";
    for (size_t i = 0; i < f->backtrace.size(); ++i) {
      out << "            #" << i << " " << frame_text(f->backtrace[i]) << "\n";
    }
  }
  const std::string changes = policy_changes(result.policy_before, result.policy);
  out << "\n== policy lane records that changed ==\n";
  if (changes.empty()) {
    out << "none\n";
  } else {
    out << "each setting as enable:value (hex), * where the run changed it\n" << changes;
  }
  const RunStats s = collect_stats(board, result);
  out << "\n== stats ==\n"
      << "instructions " << s.instructions << ", register accesses " << s.register_accesses
      << ", bus aborts " << s.bus_aborts << ", blocked writes " << s.blocked_writes
      << ", service calls " << s.service_calls << ", PPI calls " << s.ppi_calls << ", pool bytes "
      << s.pool_bytes << "\n";
  if (with_trace) {
    out << "\n== trace ==\n";
    for (const auto& t : board.log().trace) {
      out << trace_line(board, t, board.log().trace_dropped) << "\n";
    }
  }
  if (instructions) {
    out << "\n== instructions ==\n";
    std::string routine;
    for (uint32_t address : instructions->addresses()) {
      // The routine's name where the run enters one; then address and instruction.
      if (std::string now = board.routine_at(address); now != routine) {
        routine = now;
        out << board.where(address) << ":\n";
      }
      out << "  " << hex(address, 8) << "  " << board.instruction_at(address) << "\n";
    }
    if (instructions->dropped() > 0) {
      out << "(truncated: " << instructions->dropped() << " more instructions)\n";
    }
  }
  return out.str();
}

std::vector<std::string> check_expectations(const ExpectConfig& e, Board& board,
                                            const RunResult& r) {
  std::vector<std::string> diffs;
  if (e.dispatched && *e.dispatched != !r.not_dispatched) {
    diffs.push_back(std::string("dispatched: expected ") + (*e.dispatched ? "true" : "false") +
                    ", got " +
                    (r.not_dispatched ? "not dispatched: " + not_dispatched_text(*r.not_dispatched)
                                      : std::string("dispatched")));
  }
  auto status_or_null = [](std::optional<uint32_t> s) {
    return s ? std::to_string(*s) : std::string("null");
  };
  if (e.entry_status) {
    const std::optional<uint32_t> want =
        *e.entry_status < 0 ? std::nullopt : std::optional<uint32_t>(*e.entry_status);
    if (want != r.entry_status) {
      diffs.push_back("entry_status: expected " + status_or_null(want) + ", got " +
                      status_or_null(r.entry_status));
    }
  }
  if (e.notify_statuses) {
    std::vector<int64_t> got(r.notify_statuses.begin(), r.notify_statuses.end());
    if (got != *e.notify_statuses) {
      diffs.push_back("notify_statuses: expected " + nlohmann::json(*e.notify_statuses).dump() +
                      ", got " + nlohmann::json(got).dump());
    }
  }
  if (e.slot15_called && *e.slot15_called != r.slot15_called) {
    diffs.push_back(std::string("slot15_called: expected ") +
                    (*e.slot15_called ? "true" : "false"));
  }
  if (e.fault && *e.fault != r.fault.has_value()) {
    diffs.push_back(std::string("fault: expected ") + (*e.fault ? "a fault" : "none") + ", got " +
                    (r.fault ? r.fault->text() + " in " + r.fault->routine : "none"));
  }
  const std::string console = console_text(board.log().events);
  for (const auto& text : e.prints_contain) {
    if (console.find(text) == std::string::npos) {
      diffs.push_back("console lacks: " + nlohmann::json(text).dump());
    }
  }
  for (const auto& text : e.prints_absent) {
    if (console.find(text) != std::string::npos) {
      diffs.push_back("console has: " + nlohmann::json(text).dump());
    }
  }
  if (e.assert_lines) {
    std::vector<int64_t> got;
    for (const auto& ev : board.log().events) {
      if (ev.kind == Event::Kind::kAssert) got.push_back(ev.line);
    }
    if (got != *e.assert_lines) {
      diffs.push_back("assert_lines: expected " + nlohmann::json(*e.assert_lines).dump() +
                      ", got " + nlohmann::json(got).dump());
    }
  }
  // Each setting that differs, as enable:value in hex like the report's table; then any word
  // whose other bits (which no setting holds) differ.
  auto records = [&](const char* name, const auto& want, const auto& got,
                     std::span<const Setting> settings) {
    if (!want || *want == got) return;
    for (size_t i = 0; i < got.size(); ++i) {
      if ((*want)[i] == got[i]) continue;
      const std::string record = std::string(name) + "[" + std::to_string(i) + "]";
      for (size_t k = 0; k < settings.size(); ++k) {
        const Setting& s = settings[k];
        const auto expected = s.in((*want)[i][s.word]), actual = s.in(got[i][s.word]);
        if (expected == actual) continue;
        diffs.push_back(record + " setting " + std::to_string(k + 1) + ": expected " +
                        setting_text(expected) + ", got " + setting_text(actual));
      }
      for (size_t w = 0; w < got[i].size(); ++w) {
        uint32_t held = 0;
        for (const Setting& s : settings) held |= s.word == w ? s.bits() : 0;
        if ((((*want)[i][w] ^ got[i][w]) & ~held) == 0) continue;
        diffs.push_back(record + " word " + std::to_string(w) +
                        " (bits no setting holds): expected " + hex((*want)[i][w], 8) + ", got " +
                        hex(got[i][w], 8));
      }
    }
  };
  records("sata", e.sata, r.policy.sata, kSataSettings);
  records("ssata", e.ssata, r.policy.ssata, kSataSettings);
  records("pcie_rp", e.pcie_rp, r.policy.pcie_rp, kPcieSettings);
  records("pcie_direct", e.pcie_direct, r.policy.pcie_direct, kPcieSettings);
  if (e.acpi_base && *e.acpi_base != r.acpi_base) {
    diffs.push_back("pmc.acpi_base: expected " + hex(*e.acpi_base, 4) + ", got " +
                    hex(r.acpi_base, 4));
  }
  if (e.acpi_control && *e.acpi_control != r.acpi_control) {
    diffs.push_back("pmc.acpi_control: expected " + hex(*e.acpi_control, 2) + ", got " +
                    hex(r.acpi_control, 2));
  }
  return diffs;
}

std::vector<std::string> boot_verdict(const ExpectConfig& expect, Board& board,
                                      const RunResult& result) {
  if (expect.any()) return check_expectations(expect, board, result);
  if (!result.fault) return {};
  return {"fault: " + result.fault->text() + " in " + result.fault->routine};
}

}  // namespace peiboard
