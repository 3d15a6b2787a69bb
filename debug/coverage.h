// Line, function and branch coverage of the module's source, gathered from the basic blocks
// the CPU ran and the edges it took between them over any number of boots, and written as an
// lcov tracefile that genhtml renders from the source tree.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "disassembler.h"
#include "expected.h"
#include "module.h"
#include "source_map.h"

namespace peiboard {

// One source file's coverage.
struct FileCoverage {
  struct Function {
    std::string name;
    uint32_t line = 0;   // of its first byte
    uint64_t calls = 0;  // times its first byte ran
  };
  // One conditional branch instruction; both outcome counts are empty when it never ran.
  struct Branch {
    uint32_t line = 0;
    uint32_t address = 0;
    std::optional<uint64_t> taken;
    std::optional<uint64_t> fall_through;
  };

  std::string file;                    // relative to the firmware source tree
  std::map<uint32_t, uint64_t> lines;  // every line with code -> times its code ran
  std::vector<Function> functions;     // by line, then name
  std::vector<Branch> branches;        // by address
};

struct CoverageSummary {
  uint32_t lines_found = 0, lines_hit = 0;
  uint32_t functions_found = 0, functions_hit = 0;
  uint32_t branches_found = 0, branches_hit = 0;  // outcomes, two per branch instruction
};

class Coverage {
 public:
  // Takes what it needs from the map (line table, routines, and the conditional branches its
  // code holds); the map need not outlive the Coverage. Fails when the code cannot be decoded
  // or a file or routine name holds a control character (the tracefile could not carry it).
  static Expected<Coverage> create(const SourceMap& map);
  // The same for the module's debug file, taking blocks and edges at the addresses the image
  // runs at: each is counted at the address the debug file knows it by (the module's coverage
  // key), wherever the image was moved. Fails without a debug file.
  static Expected<Coverage> create(const Module& module);

  // Addresses below are where the image runs (for a Coverage made from a SourceMap alone,
  // where the debug file puts the code).
  //
  // A basic block [address, address + size) ran `count` more times. Blocks may overlap (the CPU
  // may enter code in the middle of a block it already knows); bytes outside the module's code
  // are ignored.
  void add_block(uint32_t address, uint32_t size, uint64_t count = 1);
  // The CPU went `count` more times from the block whose last instruction starts at `from` to
  // the block at `to`.
  void add_edge(uint32_t from, uint32_t to, uint64_t count = 1);
  // The CPU went from the block [from, from + size) to the block at `to`: an edge when the
  // block ends with a conditional branch (the one way the CPU chooses), else nothing.
  void add_flow(uint32_t from, uint32_t size, uint32_t to, uint64_t count = 1);
  // Forgets every block and edge.
  void clear();

  // Per file, sorted by path: every line of the line table, every routine, every conditional
  // branch.
  std::vector<FileCoverage> report() const;
  CoverageSummary summary() const;
  // The lcov tracefile of report(), the one form every tool of peiboard writes: TN, then per
  // file SF, FN, FNDA, FNF, FNH, BRDA, BRF, BRH, DA, LF, LH, end_of_record. TN is `test_name`
  // with each character other than a letter, digit or underscore made an underscore; SF is
  // the absolute path of `source_root` / the file's path (a relative root is taken from the
  // working directory); a branch outcome is "-" when its instruction never ran.
  std::string lcov(std::string_view test_name, const std::filesystem::path& source_root) const;

 private:
  Coverage() = default;
  // From `begin` up to the next run's begin, every byte ran `count` times.
  struct Run {
    uint32_t begin = 0;
    uint64_t count = 0;
  };
  // How often the bytes ran, as runs sorted by address: as many as the blocks have edges.
  std::vector<Run> runs() const;
  static uint64_t count_at(const std::vector<Run>& runs, uint32_t address);
  // The most any byte of [begin, end) ran.
  static uint64_t most_in(const std::vector<Run>& runs, uint32_t begin, uint32_t end);

  uint32_t shift_ = 0;  // the running address minus the debug file's
  std::vector<LineRange> lines_;
  std::vector<std::string> files_;
  std::vector<Routine> routines_;
  std::vector<ConditionalBranch> branches_;
  std::map<std::pair<uint32_t, uint32_t>, uint64_t> blocks_;  // (address, size) -> runs
  std::map<std::pair<uint32_t, uint32_t>, uint64_t> edges_;   // (from, to) -> times taken
};

}  // namespace peiboard
