// Coverage of the real image's source from synthetic runs: blocks of chosen routines marked as
// run, edges as taken, and the lcov tracefile genhtml renders from the source tree.
#include "coverage.h"

#include <fstream>
#include <set>
#include <sstream>

#include "debug_fixture.h"

namespace peiboard::testing {
namespace {

class CoverageTest : public ::testing::Test {
 protected:
  const SourceMap& map_ = module_source_map();
  Coverage coverage_ = [this] {
    auto c = Coverage::create(map_);
    if (!c) throw std::runtime_error(c.error().message);
    return std::move(c).value();
  }();

  const Routine& routine(std::string_view name) {
    const auto address = map_.address_of(name);
    if (!address) throw std::runtime_error("no routine " + std::string(name));
    return *map_.routine_at(*address);
  }
  // Every (file, line) with code inside [begin, end), from the line table.
  std::set<std::pair<std::string, uint32_t>> lines_in(uint32_t begin, uint32_t end) const {
    std::set<std::pair<std::string, uint32_t>> lines;
    for (const LineRange& r : map_.lines()) {
      if (r.begin >= begin && r.begin < end) lines.insert({map_.files()[r.file], r.line});
    }
    return lines;
  }
  std::set<std::pair<std::string, uint32_t>> hit_lines() const {
    std::set<std::pair<std::string, uint32_t>> lines;
    for (const auto& f : coverage_.report()) {
      for (const auto& [line, runs] : f.lines) {
        if (runs > 0) lines.insert({f.file, line});
      }
    }
    return lines;
  }
  std::optional<FileCoverage::Function> function(std::string_view name) const {
    for (const auto& f : coverage_.report()) {
      for (const auto& fn : f.functions) {
        if (fn.name == name) return fn;
      }
    }
    return std::nullopt;
  }
};

TEST_F(CoverageTest, NothingRunIsNothingHit) {
  const CoverageSummary s = coverage_.summary();
  EXPECT_GT(s.lines_found, 300u);
  EXPECT_EQ(s.lines_hit, 0u);
  EXPECT_EQ(s.functions_found, map_.routines().size());
  EXPECT_EQ(s.functions_hit, 0u);
  EXPECT_GT(s.branches_found, 40u);
  EXPECT_EQ(s.branches_found % 2, 0u);
  EXPECT_EQ(s.branches_hit, 0u);
}

TEST_F(CoverageTest, OneRoutineRunHitsExactlyItsLines) {
  const Routine& entry = routine("SystemBoardOverrideEntryPoint");
  coverage_.add_block(entry.address, entry.size);
  const auto expected = lines_in(entry.address, entry.address + entry.size);
  EXPECT_EQ(hit_lines(), expected);
  ASSERT_FALSE(expected.empty());
  // The routine's own lines lie in its source file (inlined helpers may add others).
  EXPECT_TRUE(expected.count({kModuleFile, map_.lookup(entry.address).line}));
  EXPECT_EQ(function("SystemBoardOverrideEntryPoint")->calls, 1u);
  EXPECT_EQ(coverage_.summary().functions_hit, 1u);

  // The bytes just before and just after the routine hit only the lines that hold them.
  coverage_.clear();
  std::set<std::pair<std::string, uint32_t>> neighbours;
  for (uint32_t a : {entry.address - 1, entry.address + entry.size}) {
    coverage_.add_block(a, 1);
    const AddressInfo info = map_.lookup(a);
    if (info.file) neighbours.insert({*info.file, info.line});
  }
  EXPECT_EQ(hit_lines(), neighbours);
  EXPECT_EQ(function("SystemBoardOverrideEntryPoint")->calls, 0u);
}

TEST_F(CoverageTest, CountsAddUpOverBootsAndOverlappingBlocks) {
  const Routine& r = routine("GetClockingMode");
  const uint32_t line = map_.lookup(r.address).line;
  coverage_.add_block(r.address, r.size);
  coverage_.add_block(r.address, r.size, 2);  // two more boots
  const auto report = coverage_.report();
  const auto file = std::find_if(report.begin(), report.end(), [&](const FileCoverage& f) {
    return f.file == *map_.lookup(r.address).file;
  });
  ASSERT_NE(file, report.end());
  EXPECT_EQ(file->lines.at(line), 3u);
  EXPECT_EQ(function("GetClockingMode")->calls, 3u);
  // A block entered in the middle of the routine adds to the bytes it holds only.
  coverage_.add_block(r.address + 1, r.size - 1);
  EXPECT_EQ(function("GetClockingMode")->calls, 3u);
  // Code outside the module counts for nothing.
  coverage_.add_block(0x00001000, 0x100);
  coverage_.add_block(0xFFFFFFF0, 0x10);
  EXPECT_EQ(coverage_.summary().functions_hit, 1u);
}

// The first conditional branch of a routine: its two outcomes from the edges taken.
TEST_F(CoverageTest, BranchOutcomesComeFromTheEdgesTaken) {
  const Routine& r = routine("GetClockingMode");
  auto dis = Disassembler::create();
  ASSERT_TRUE(dis);
  const CodeSection& text = map_.code().at(0);
  std::optional<ConditionalBranch> branch;
  for (uint32_t at = r.address; at < r.address + r.size && !branch;) {
    const auto bytes = std::span(text.bytes).subspan(at - text.address);
    branch = dis->conditional_branch(at, bytes);
    at += *dis->instruction_length(at, bytes);
  }
  ASSERT_TRUE(branch) << "GetClockingMode has no conditional branch";

  auto outcome = [&]() -> std::optional<FileCoverage::Branch> {
    for (const auto& f : coverage_.report()) {
      for (const auto& b : f.branches) {
        if (b.address == branch->address) return b;
      }
    }
    return std::nullopt;
  };
  ASSERT_TRUE(outcome());
  EXPECT_FALSE(outcome()->taken);  // never ran: "-" in lcov
  EXPECT_EQ(outcome()->line, map_.lookup(branch->address).line);

  // Ran once, no edge recorded from it (the run stopped there): both outcomes seen zero times.
  coverage_.add_block(r.address, branch->fall_through - r.address);
  EXPECT_EQ(outcome()->taken, 0u);
  EXPECT_EQ(outcome()->fall_through, 0u);

  coverage_.add_block(r.address, branch->fall_through - r.address, 2);
  coverage_.add_edge(branch->address, branch->taken, 2);
  coverage_.add_edge(branch->address, branch->fall_through);
  coverage_.add_edge(branch->address + 1, branch->taken, 7);  // not from the branch: ignored
  EXPECT_EQ(outcome()->taken, 2u);
  EXPECT_EQ(outcome()->fall_through, 1u);
  const CoverageSummary s = coverage_.summary();
  EXPECT_EQ(s.branches_hit, 2u);
}

TEST_F(CoverageTest, LcovTracefileGenhtmlRenders) {
  const Routine& entry = routine("SystemBoardOverrideEntryPoint");
  coverage_.add_block(entry.address, entry.size);
  const std::string text = coverage_.lcov("boot", PEIBOARD_FIRMWARE_DIR);

  // Record by record: the totals agree with the entries, every source file exists.
  std::istringstream in(text);
  size_t records = 0, da = 0, hit = 0, brda = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("SF:", 0) == 0) {
      EXPECT_TRUE(std::filesystem::exists(line.substr(3))) << line;
      da = hit = brda = 0;
    } else if (line.rfind("DA:", 0) == 0) {
      ++da;
      if (line.substr(line.find(',') + 1) != "0") ++hit;
    } else if (line.rfind("BRDA:", 0) == 0) {
      ++brda;
    } else if (line.rfind("LF:", 0) == 0) {
      EXPECT_EQ(line, "LF:" + std::to_string(da));
    } else if (line.rfind("LH:", 0) == 0) {
      EXPECT_EQ(line, "LH:" + std::to_string(hit));
    } else if (line.rfind("BRF:", 0) == 0) {
      EXPECT_EQ(line, "BRF:" + std::to_string(brda));
    } else if (line == "end_of_record") {
      ++records;
    }
  }
  EXPECT_EQ(records, coverage_.report().size());
  EXPECT_EQ(text.rfind("TN:boot\nSF:" + std::string(PEIBOARD_FIRMWARE_DIR) + "/", 0), 0u);
  EXPECT_NE(text.find("FNDA:1,SystemBoardOverrideEntryPoint\n"), std::string::npos);
  EXPECT_NE(text.find("FNDA:0,GetClockingMode\n"), std::string::npos);
  EXPECT_NE(text.find(",0,-\n"), std::string::npos);  // branches that never ran
  EXPECT_NE(text.find(",0,0\n"), std::string::npos);  // ran, no edge recorded

  const std::string work = std::string(PEIBOARD_TEST_WORK) + "/coverage-html";
  const std::string info = work + ".info";
  std::ofstream(info) << text;
  std::filesystem::remove_all(work);
  command_output(std::string(GENHTML) + " --quiet --branch-coverage --output-directory " + work +
                 " " + info + " 2>&1");
  std::ifstream page(work + "/index.html");
  std::stringstream html;
  html << page.rdbuf();
  EXPECT_NE(html.str().find("QuarnelPeiSystemBoardOverride"), std::string::npos);
}

}  // namespace
}  // namespace peiboard::testing
