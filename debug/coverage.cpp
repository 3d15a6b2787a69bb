#include "coverage.h"

#include <algorithm>
#include <sstream>

#include "disassembler.h"

namespace peiboard {

Expected<Coverage> Coverage::create(const SourceMap& map) {
  Coverage c;
  c.lines_ = map.lines();
  c.files_ = map.files();
  c.routines_ = map.routines();
  if (c.lines_.empty()) return Error{"the debug file's line table describes no code"};
  c.code_begin_ = c.lines_.front().begin;
  c.code_end_ = c.lines_.back().end;

  auto disassembler = Disassembler::create();
  if (!disassembler) return disassembler.error();
  // Every row of a line table starts at an instruction, so each range decodes on its own.
  for (const LineRange& r : c.lines_) {
    const CodeSection* section = nullptr;
    for (const auto& s : map.code()) {
      if (r.begin >= s.address && r.end - s.address <= s.bytes.size()) section = &s;
    }
    if (section == nullptr) continue;
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

void Coverage::add_block(uint32_t address, uint32_t size, uint64_t count) {
  if (size == 0 || count == 0) return;
  blocks_[{address, size}] += count;
}

void Coverage::add_edge(uint32_t from, uint32_t to, uint64_t count) {
  if (count == 0) return;
  edges_[{from, to}] += count;
}

void Coverage::clear() {
  blocks_.clear();
  edges_.clear();
}

std::vector<uint64_t> Coverage::byte_counts() const {
  std::vector<uint64_t> counts(code_end_ - code_begin_, 0);
  for (const auto& [block, count] : blocks_) {
    const uint64_t begin = std::max<uint64_t>(block.first, code_begin_);
    const uint64_t end = std::min<uint64_t>(uint64_t{block.first} + block.second, code_end_);
    for (uint64_t a = begin; a < end; ++a) counts[a - code_begin_] += count;
  }
  return counts;
}

uint64_t Coverage::count_at(const std::vector<uint64_t>& counts, uint32_t address) const {
  if (address < code_begin_ || address >= code_end_) return 0;
  return counts[address - code_begin_];
}

std::vector<FileCoverage> Coverage::report() const {
  const auto counts = byte_counts();
  std::vector<FileCoverage> files(files_.size());
  for (size_t i = 0; i < files_.size(); ++i) files[i].file = files_[i];

  auto range_at = [&](uint32_t address) -> const LineRange* {
    auto it = std::upper_bound(lines_.begin(), lines_.end(), address,
                               [](uint32_t a, const LineRange& r) { return a < r.begin; });
    if (it == lines_.begin() || address >= std::prev(it)->end) return nullptr;
    return &*std::prev(it);
  };

  for (const LineRange& r : lines_) {
    uint64_t runs = 0;
    for (uint32_t a = r.begin; a < r.end; ++a) runs = std::max(runs, count_at(counts, a));
    uint64_t& line = files[r.file].lines[r.line];
    line = std::max(line, runs);
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
  for (const auto& f : report()) {
    out << "TN:" << test_name << "\n";
    out << "SF:" << (source_root / f.file).lexically_normal().string() << "\n";
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
