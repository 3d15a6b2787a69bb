#include "coverage.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "disassembler.h"
#include "format.h"

namespace peiboard {
namespace {

// The first control character of a name, if any: an lcov tracefile is one record per line with
// no way to quote, so a name holding a newline would write records of its own.
std::optional<size_t> control_character(std::string_view name) {
  for (size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F) return i;
  }
  return std::nullopt;
}

std::string refuse_name(const char* what, std::string_view name, size_t at) {
  std::string shown;
  for (const char ch : name.substr(0, std::min<size_t>(name.size(), 80))) {
    const auto c = static_cast<unsigned char>(ch);
    shown += c < 0x20 || c >= 0x7F ? "\\x" + hex(c, 2).substr(2) : std::string(1, ch);
  }
  return std::string(what) + " \"" + shown + "\" holds a control character (byte " +
         std::to_string(at) + "), which an lcov tracefile cannot carry";
}

}  // namespace

Expected<Coverage> Coverage::create(const SourceMap& map) {
  Coverage c;
  c.lines_ = map.lines();
  c.files_ = map.files();
  c.routines_ = map.routines();
  if (c.lines_.empty()) return Error{"the debug file's line table describes no code"};
  for (const auto& f : c.files_) {
    if (auto at = control_character(f)) return Error{refuse_name("the file name", f, *at)};
  }
  for (const auto& r : c.routines_) {
    if (auto at = control_character(r.name)) {
      return Error{refuse_name("the routine name", r.name, *at)};
    }
  }

  auto disassembler = Disassembler::create();
  if (!disassembler) return disassembler.error();
  // Every row of a line table starts at an instruction, so each range decodes on its own.
  for (const LineRange& r : c.lines_) {
    const CodeSection* section = map.code_section_at(r.begin);
    if (section == nullptr || r.end - section->address > section->bytes.size()) continue;
    const std::span<const uint8_t> bytes(section->bytes);
    uint32_t at = r.begin;
    while (at < r.end) {
      const auto here = bytes.subspan(at - section->address, r.end - at);
      const auto length = disassembler->instruction_length(at, here);
      if (!length) break;
      if (auto branch = disassembler->conditional_branch(at, here)) c.branches_.push_back(*branch);
      at += *length;
    }
  }
  return c;
}

Expected<Coverage> Coverage::create(const Module& module) {
  if (module.debug_file() == nullptr) return Error{"coverage needs the module's debug file"};
  auto c = create(*module.debug_file());
  if (!c) return c.error();
  c->shift_ = module.shift();
  return c;
}

void Coverage::add_block(uint32_t address, uint32_t size, uint64_t count) {
  if (size == 0 || count == 0) return;
  blocks_[{address - shift_, size}] += count;
}

void Coverage::add_edge(uint32_t from, uint32_t to, uint64_t count) {
  if (count == 0) return;
  edges_[{from - shift_, to - shift_}] += count;
}

void Coverage::add_flow(uint32_t from, uint32_t size, uint32_t to, uint64_t count) {
  // A block ends at its branch: the conditional branch whose next instruction is the block's
  // end, if the block holds one there.
  const uint32_t end = from - shift_ + size;
  auto it = std::lower_bound(branches_.begin(), branches_.end(), end,
                             [](const ConditionalBranch& b, uint32_t a) { return b.address < a; });
  if (it == branches_.begin()) return;
  const ConditionalBranch& b = *std::prev(it);
  if (b.fall_through != end || b.address < from - shift_) return;
  if (to - shift_ != b.taken && to - shift_ != b.fall_through) return;
  edges_[{b.address, to - shift_}] += count;
}

void Coverage::clear() {
  blocks_.clear();
  edges_.clear();
}

std::vector<Coverage::Run> Coverage::runs() const {
  // Each block adds its count from its first byte and takes it away past its last: the sums
  // in address order give how often the bytes up to the next change ran. The size follows
  // the blocks, never the span of addresses between them.
  std::vector<std::pair<uint64_t, uint64_t>> starts, ends;
  starts.reserve(blocks_.size());
  ends.reserve(blocks_.size());
  for (const auto& [block, count] : blocks_) {
    starts.emplace_back(block.first, count);
    ends.emplace_back(uint64_t{block.first} + block.second, count);
  }
  std::sort(ends.begin(), ends.end());  // starts come sorted from the map
  std::vector<Run> runs;
  uint64_t count = 0;
  size_t s = 0, e = 0;
  while (s < starts.size() || e < ends.size()) {
    const uint64_t at = e == ends.size() || (s < starts.size() && starts[s].first < ends[e].first)
                            ? starts[s].first
                            : ends[e].first;
    while (s < starts.size() && starts[s].first == at) count += starts[s++].second;
    while (e < ends.size() && ends[e].first == at) count -= ends[e++].second;
    if (at > UINT32_MAX) break;
    if (!runs.empty() && runs.back().count == count) continue;
    runs.push_back({static_cast<uint32_t>(at), count});
  }
  return runs;
}

uint64_t Coverage::count_at(const std::vector<Run>& runs, uint32_t address) {
  auto it = std::upper_bound(runs.begin(), runs.end(), address,
                             [](uint32_t a, const Run& r) { return a < r.begin; });
  return it == runs.begin() ? 0 : std::prev(it)->count;
}

uint64_t Coverage::most_in(const std::vector<Run>& runs, uint32_t begin, uint32_t end) {
  uint64_t most = count_at(runs, begin);
  auto it = std::upper_bound(runs.begin(), runs.end(), begin,
                             [](uint32_t a, const Run& r) { return a < r.begin; });
  for (; it != runs.end() && it->begin < end; ++it) most = std::max(most, it->count);
  return most;
}

std::vector<FileCoverage> Coverage::report() const {
  const auto counts = runs();
  std::vector<FileCoverage> files(files_.size());
  for (size_t i = 0; i < files_.size(); ++i) files[i].file = files_[i];

  auto range_at = [&](uint32_t address) -> const LineRange* {
    auto it = std::upper_bound(lines_.begin(), lines_.end(), address,
                               [](uint32_t a, const LineRange& r) { return a < r.begin; });
    if (it == lines_.begin() || address >= std::prev(it)->end) return nullptr;
    return &*std::prev(it);
  };

  for (const LineRange& r : lines_) {
    uint64_t& line = files[r.file].lines[r.line];
    line = std::max(line, most_in(counts, r.begin, r.end));
  }
  for (const Routine& routine : routines_) {
    const LineRange* r = range_at(routine.address);
    if (r == nullptr) {
      // A routine whose first bytes have no line is placed at its first line that has one.
      auto it = std::lower_bound(lines_.begin(), lines_.end(), routine.address,
                                 [](const LineRange& l, uint32_t a) { return l.begin < a; });
      if (it == lines_.end() || it->begin - routine.address >= routine.size) continue;
      r = &*it;
    }
    files[r->file].functions.push_back({routine.name, r->line, count_at(counts, routine.address)});
  }
  for (const ConditionalBranch& b : branches_) {
    const LineRange* r = range_at(b.address);
    if (r == nullptr) continue;
    FileCoverage::Branch branch{r->line, b.address, std::nullopt, std::nullopt};
    if (count_at(counts, b.address) > 0) {
      auto edge = [&](uint32_t to) {
        const auto it = edges_.find({b.address, to});
        return it == edges_.end() ? uint64_t{0} : it->second;
      };
      branch.taken = edge(b.taken);
      branch.fall_through = edge(b.fall_through);
    }
    files[r->file].branches.push_back(branch);
  }

  std::erase_if(files, [](const FileCoverage& f) { return f.lines.empty(); });
  for (auto& f : files) {
    std::sort(f.functions.begin(), f.functions.end(), [](const auto& a, const auto& b) {
      return a.line != b.line ? a.line < b.line : a.name < b.name;
    });
  }
  std::sort(files.begin(), files.end(),
            [](const FileCoverage& a, const FileCoverage& b) { return a.file < b.file; });
  return files;
}

CoverageSummary Coverage::summary() const {
  CoverageSummary s;
  for (const auto& f : report()) {
    for (const auto& [line, runs] : f.lines) {
      ++s.lines_found;
      if (runs > 0) ++s.lines_hit;
    }
    for (const auto& fn : f.functions) {
      ++s.functions_found;
      if (fn.calls > 0) ++s.functions_hit;
    }
    for (const auto& b : f.branches) {
      s.branches_found += 2;
      s.branches_hit += (b.taken.value_or(0) > 0) + (b.fall_through.value_or(0) > 0);
    }
  }
  return s;
}

std::string Coverage::lcov(std::string_view test_name,
                           const std::filesystem::path& source_root) const {
  std::ostringstream out;
  // genhtml and lcov take a test name of letters, digits and underscores only.
  std::string test(test_name);
  for (char& ch : test) {
    const auto c = static_cast<unsigned char>(ch);
    if (!std::isalnum(c) && c != '_') ch = '_';
  }
  // Absolute paths: the tracefile reads the same from any directory, and two tracefiles of
  // the module name each source file alike, so that lcov merges them.
  std::error_code ignored;
  const std::filesystem::path root = std::filesystem::absolute(source_root, ignored);
  for (const auto& f : report()) {
    out << "TN:" << test << "\n";
    out << "SF:" << (root / f.file).lexically_normal().string() << "\n";
    uint32_t hit = 0;
    for (const auto& fn : f.functions) out << "FN:" << fn.line << "," << fn.name << "\n";
    for (const auto& fn : f.functions) {
      out << "FNDA:" << fn.calls << "," << fn.name << "\n";
      if (fn.calls > 0) ++hit;
    }
    out << "FNF:" << f.functions.size() << "\nFNH:" << hit << "\n";

    hit = 0;
    std::map<uint32_t, uint32_t> blocks_on_line;  // a line's branch instructions, numbered
    for (const auto& b : f.branches) {
      const uint32_t block = blocks_on_line[b.line]++;
      auto outcome = [&](const std::optional<uint64_t>& n) {
        if (n.value_or(0) > 0) ++hit;
        return n ? std::to_string(*n) : std::string("-");
      };
      out << "BRDA:" << b.line << "," << block << ",0," << outcome(b.taken) << "\n";
      out << "BRDA:" << b.line << "," << block << ",1," << outcome(b.fall_through) << "\n";
    }
    out << "BRF:" << 2 * f.branches.size() << "\nBRH:" << hit << "\n";

    hit = 0;
    for (const auto& [line, runs] : f.lines) {
      out << "DA:" << line << "," << runs << "\n";
      if (runs > 0) ++hit;
    }
    out << "LF:" << f.lines.size() << "\nLH:" << hit << "\n";
    out << "end_of_record\n";
  }
  return out.str();
}

}  // namespace peiboard
