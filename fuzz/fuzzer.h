// A coverage-guided campaign over platforms: generate or mutate, boot on reused boards on
// every core, keep what reaches new module code, minimize and save each finding once.
//
// Platforms are made in batches of kBatch from the corpus as it stood when the batch began,
// platform i from a generator seeded by (seed, i); results merge in index order. So the same
// seed and number of runs give the same platforms, corpus and findings for any number of jobs.
//
// A campaign may start from seed platforms: scenario files, then the files of a corpus folder
// (an earlier campaign's corpus), booted before any platform is made. They change which
// platforms are made, so the same seed and runs give the same platforms only from the same
// seeds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "block_coverage.h"
#include "board.h"
#include "expected.h"
#include "findings.h"
#include "module.h"
#include "pe_image.h"
#include "platforms.h"

namespace peiboard::fuzz {

struct FuzzOptions {
  Mode mode = Mode::kPlatform;
  std::optional<uint64_t> runs;   // platforms to boot; with neither limit, kDefaultRuns
  std::optional<double> seconds;  // stop after the batch that passes this much time
  uint64_t seed = 1;
  unsigned jobs = 1;
  std::optional<std::filesystem::path> out;  // where findings are saved; none: not saved
  // Seed platforms: scenario files, in the order given.
  std::vector<std::filesystem::path> seed_files;
  // Loaded (its *.toml files, by name) after seed_files, and where every platform that adds
  // coverage is saved, under a name from its content.
  std::optional<std::filesystem::path> corpus;
  std::string command;  // how the campaign was started, for the saved files' comments
  std::string reproduce = "peiboard run";  // the command that replays a saved file
  // Sees every platform, in index order, after its batch (tests: determinism).
  std::function<void(uint64_t index, const Scenario&)> observe;

  static constexpr uint64_t kDefaultRuns = 100'000;
};

struct Finding {
  Cause cause;
  uint64_t platform = 0;  // the first platform that showed it
  size_t keys_found = 0;  // keys set in that platform
  Scenario scenario;      // minimized
  std::string report;     // how the exact boot of the minimized file stopped
  std::filesystem::path file;
  std::filesystem::path seed;  // the seed file that showed it first, if a seed did
  uint64_t count = 1;          // boots of this campaign that showed it
  bool saved_before = false;   // `file` held it already, from an earlier campaign: left as it was
};

struct FuzzProgress {
  uint64_t boots = 0;
  uint64_t instructions = 0;  // guest instructions of all boots
  double seconds = 0;
  size_t blocks = 0, edges = 0, corpus = 0, findings = 0;
  double since_new = 0;  // seconds since coverage last grew (since the start: none yet)
};

// What the seed platforms brought, before any platform was made.
struct Seeded {
  size_t files = 0;         // seed files booted (scenario files and corpus files)
  size_t corpus_files = 0;  // of them, from the corpus folder
  size_t refused = 0;       // seeds no board takes
  size_t corpus = 0;        // seeds kept in the corpus: they added coverage
  size_t blocks = 0, edges = 0;
};

struct FuzzSummary {
  FuzzProgress totals;
  uint64_t minimize_boots = 0;  // boots spent shrinking findings, not counted in totals
  uint64_t refused = 0;         // platforms a board refused: a defect of the generator
  Seeded seeded;
  size_t corpus_saved = 0;  // new files in the corpus folder
  std::vector<Finding> findings;
  size_t routines = 0;  // routines in the image's code (names at one address: one routine)
  std::vector<std::string> routines_missed;   // those no boot entered, "A/B" for aliases
  std::vector<std::string> routines_inlined;  // entered only through their inlined copies
};

class Fuzzer {
 public:
  static constexpr uint64_t kBatch = 256;

  // The boards share the module; its debug file, when it has one, tells which routines the
  // compiler only inlined.
  static Expected<std::unique_ptr<Fuzzer>> create(std::shared_ptr<const Module> module,
                                                  FuzzOptions options);
  static Expected<std::unique_ptr<Fuzzer>> create(const PeImage& image, FuzzOptions options);
  ~Fuzzer();

  // Boots the seed platforms (once; run() does it when not done yet). Fails when a seed file
  // cannot be read or is no scenario, or the corpus folder cannot be made.
  Expected<Seeded> seed();
  // Runs the campaign. `progress` is called from this thread about once a second and once at
  // the end. Fails only when a finding cannot be saved.
  Expected<FuzzSummary> run(const std::function<void(const FuzzProgress&)>& progress = {});
  // What the boots reached so far.
  const CoverageMap& coverage() const { return coverage_; }

 private:
  struct Worker;
  struct Outcome;
  Fuzzer(std::shared_ptr<const Module> module, FuzzOptions options);
  Scenario platform(uint64_t index) const;
  void boot(Worker& worker, std::optional<uint64_t> index, Outcome& outcome) const;
  void boot_all(uint64_t first, std::vector<Outcome>& outcomes, bool generate);
  Expected<void> merge(uint64_t index, Outcome& outcome, FuzzSummary& summary);
  Expected<void> save_to_corpus(const Scenario& scenario);
  void routines_reached(FuzzSummary& summary) const;
  Expected<Finding> examine(uint64_t index, const std::filesystem::path& seed,
                            const Scenario& scenario, const Cause& cause, FuzzSummary& summary);

  std::shared_ptr<const Module> module_;
  FuzzOptions options_;
  PlatformSpace space_;
  CoverageMap coverage_;
  std::vector<Scenario> corpus_;
  std::optional<Seeded> seeded_;
  size_t corpus_saved_ = 0;
  FuzzSummary seed_summary_;  // what the seeds found, before run()
  uint64_t instructions_ = 0;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::unique_ptr<Board> examiner_;  // minimizes and replays findings
};

}  // namespace peiboard::fuzz
