#include "fuzzer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "files.h"
#include "format.h"
#include "minimize.h"
#include "scenario_loader.h"
#include "scenario_writer.h"

namespace peiboard::fuzz {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A board for bulk boots: reused through reset(), no trace kept.
Expected<std::unique_ptr<Board>> bulk_board(std::shared_ptr<const Module> module) {
  auto made = Board::create(default_scenario(), std::move(module));
  if (!made) return made.error();
  (*made)->log().tracing = false;
  return std::move(made).value();
}

// How a boot stopped, as `peiboard run` reports it.
std::string describe(const Cause& cause, const RunResult& r, Board& board) {
  if (r.fault) {
    const RunFault& f = *r.fault;
    std::string text =
        f.text() + " at " + hex(f.address, 8) + ", eip " + hex(f.eip, 8) + " in " + f.routine;
    if (!f.region.empty()) text += " (" + f.region + ")";
    return text;
  }
  if (board.log().blocked_writes > 0) {
    return std::to_string(board.log().blocked_writes) + " blocked write(s), the first in " +
           cause.routine;
  }
  return "no finding on the exact replay";
}

// Findings of one cause a folder may hold, from this campaign and others, before saving fails.
constexpr int kMaxSameName = 1000;

// A file name for a cause, without the extension: letters, digits, '.', '-' and '_' only.
std::string file_name(const Cause& cause) {
  std::string name;
  for (const char c : cause.kind + "-" + cause.routine) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '_';
    if (keep) {
      name += c;
    } else if (!name.empty() && name.back() != '-') {
      name += '-';
    }
  }
  while (!name.empty() && name.back() == '-') name.pop_back();
  return name.substr(0, 120);
}

}  // namespace

struct Fuzzer::Worker {
  std::unique_ptr<Board> board;
  BootCoverage coverage;
};

struct Fuzzer::Outcome {
  Scenario scenario;
  std::filesystem::path seed;  // the file a seed platform came from; empty for one made
  std::vector<BootCoverage::Block> blocks;  // reached first by this boot, as far as the batch knew
  std::vector<uint32_t> edges;
  std::vector<CoverageMap::Edge> edge_blocks;  // the blocks each of `edges` joins
  std::optional<Cause> cause;
  uint64_t instructions = 0;
  bool refused = false;
};

Fuzzer::Fuzzer(std::shared_ptr<const Module> module, FuzzOptions options)
    : module_(std::move(module)),
      options_(std::move(options)),
      space_(options_.mode),
      coverage_(module_->image().size_of_image()) {}

Fuzzer::~Fuzzer() = default;

Expected<std::unique_ptr<Fuzzer>> Fuzzer::create(const PeImage& image, FuzzOptions options) {
  return create(Module::create(image), std::move(options));
}

Expected<std::unique_ptr<Fuzzer>> Fuzzer::create(std::shared_ptr<const Module> module,
                                                 FuzzOptions options) {
  std::unique_ptr<Fuzzer> f(new Fuzzer(module, std::move(options)));
  const PeImage& image = module->image();
  for (unsigned j = 0; j < std::max(1u, f->options_.jobs); ++j) {
    auto board = bulk_board(module);
    if (!board) return board.error();
    f->workers_.push_back(std::unique_ptr<Worker>(new Worker{
        std::move(board).value(), BootCoverage(image.image_base(), image.size_of_image())}));
  }
  auto examiner = bulk_board(module);
  if (!examiner) return examiner.error();
  f->examiner_ = std::move(examiner).value();
  return f;
}

Scenario Fuzzer::platform(uint64_t index) const {
  Rng r = Rng::for_item(options_.seed, index);
  if (corpus_.empty() || r.chance(1, 8)) {
    return corpus_.empty() && r.coin() ? space_.mutate(r, space_.base(), nullptr)
                                       : space_.generate(r);
  }
  const size_t n = corpus_.size();
  // The newest entries half the time: they reached the code found last.
  const size_t parent = r.coin() ? n - 1 - r.below(std::min<size_t>(n, 16)) : r.below(n);
  const Scenario* other = n > 1 && r.chance(1, 4) ? &corpus_[r.below(n)] : nullptr;
  return space_.mutate(r, corpus_[parent], other);
}

void Fuzzer::boot(Worker& w, std::optional<uint64_t> index, Outcome& outcome) const {
  try {
    if (index) outcome.scenario = platform(*index);
    Board& board = *w.board;
    if (!board.reset(outcome.scenario)) {
      outcome.refused = true;
      return;
    }
    w.coverage.start(coverage_);
    board.machine().set_block_observer(&w.coverage);
    const RunResult result = board.boot();
    board.machine().set_block_observer(nullptr);
    outcome.blocks = w.coverage.new_blocks();
    outcome.edges = w.coverage.new_edges();
    outcome.edge_blocks = w.coverage.new_edge_blocks();
    outcome.instructions = result.instructions;
    outcome.cause = finding_of(board, outcome.scenario, result, options_.mode);
  } catch (const std::exception& e) {
    // The host side failed, which it must never do: a finding, and a new board.
    outcome.cause = Cause{"host error", e.what()};
    w.board->machine().set_block_observer(nullptr);
    if (auto fresh = bulk_board(module_)) w.board = std::move(fresh).value();
  }
}

void Fuzzer::boot_all(uint64_t first, std::vector<Outcome>& outcomes, bool generate) {
  const uint64_t count = outcomes.size();
  std::atomic<uint64_t> cursor{0};
  auto work = [&](Worker& w) {
    for (uint64_t i = cursor++; i < count; i = cursor++) {
      boot(w, generate ? std::optional(first + i) : std::nullopt, outcomes[i]);
    }
  };
  const size_t threads = std::min<size_t>(workers_.size(), count);
  if (threads == 1) {
    work(*workers_[0]);
  } else {
    std::vector<std::jthread> running;
    for (size_t t = 0; t < threads; ++t) running.emplace_back(work, std::ref(*workers_[t]));
  }
}

Expected<void> Fuzzer::merge(uint64_t index, Outcome& outcome, FuzzSummary& summary) {
  const bool made = outcome.seed.empty();
  if (made && options_.observe) options_.observe(index, outcome.scenario);
  if (outcome.refused) {
    if (made) {
      ++summary.refused;
    } else {
      ++seeded_->refused;
    }
    return {};
  }
  if (made) instructions_ += outcome.instructions;
  bool reached = false;
  for (const auto& b : outcome.blocks) reached |= coverage_.add_block(b.offset, b.size);
  for (size_t i = 0; i < outcome.edges.size(); ++i) {
    reached |= coverage_.add_edge(outcome.edges[i], outcome.edge_blocks[i].from,
                                  outcome.edge_blocks[i].to);
  }
  // A platform that stops the run is a finding, not a place to go on from.
  if (reached && !outcome.cause) {
    corpus_.push_back(outcome.scenario);
    if (!made) ++seeded_->corpus;
    if (auto saved = save_to_corpus(outcome.scenario); !saved) return saved.error();
  }
  if (outcome.cause) {
    auto same = std::find_if(summary.findings.begin(), summary.findings.end(),
                             [&](const Finding& f) { return f.cause == *outcome.cause; });
    if (same != summary.findings.end()) {
      ++same->count;
      return {};
    }
    auto finding = examine(index, outcome.seed, outcome.scenario, *outcome.cause, summary);
    if (!finding) return finding.error();
    summary.findings.push_back(std::move(finding).value());
  }
  return {};
}

// A content hash names a corpus file, so saving the same platform again finds its name taken.
Expected<void> Fuzzer::save_to_corpus(const Scenario& scenario) {
  if (!options_.corpus) return {};
  Scenario entry = scenario;
  entry.name = "fuzz corpus";
  entry.expect = {};
  auto text = write_scenario(entry);
  if (!text) return Error{"cannot save a corpus platform: " + text.error().message};
  uint64_t hash = 0xCBF29CE484222325;  // FNV-1a, 64 bits
  for (const char c : *text) hash = (hash ^ static_cast<uint8_t>(c)) * 0x100000001B3;
  const auto file = *options_.corpus / (hex(hash, 16).substr(2) + ".toml");
  auto created = create_output_file(file, *text);
  if (!created) return Error{"cannot save a corpus platform: " + created.error().message};
  if (*created == Created::kWritten) ++corpus_saved_;
  return {};
}

Expected<Seeded> Fuzzer::seed() {
  if (seeded_) return *seeded_;
  seeded_ = Seeded{};
  std::vector<std::filesystem::path> files = options_.seed_files;
  if (options_.corpus) {
    std::error_code error;
    std::filesystem::create_directories(*options_.corpus, error);
    if (error) {
      return Error{options_.corpus->string() +
                   ": cannot make the corpus folder: " + error.message()};
    }
    std::vector<std::filesystem::path> saved;
    for (const auto& entry : std::filesystem::directory_iterator(*options_.corpus, error)) {
      if (entry.path().extension() == ".toml") saved.push_back(entry.path());
    }
    if (error) return Error{options_.corpus->string() + ": cannot list it: " + error.message()};
    std::sort(saved.begin(), saved.end());
    seeded_->corpus_files = saved.size();
    files.insert(files.end(), saved.begin(), saved.end());
  }
  seeded_->files = files.size();
  for (size_t first = 0; first < files.size(); first += kBatch) {
    std::vector<Outcome> outcomes(std::min<size_t>(kBatch, files.size() - first));
    for (size_t i = 0; i < outcomes.size(); ++i) {
      auto loaded = load_scenario_file(files[first + i]);
      if (!loaded) return Error{"seed platform " + loaded.error().to_string()};
      outcomes[i].scenario = std::move(loaded).value();
      outcomes[i].seed = files[first + i];
    }
    boot_all(0, outcomes, false);
    for (auto& outcome : outcomes) {
      if (auto merged = merge(0, outcome, seed_summary_); !merged) return merged.error();
    }
  }
  seeded_->blocks = coverage_.blocks();
  seeded_->edges = coverage_.edges();
  return *seeded_;
}

Expected<Finding> Fuzzer::examine(uint64_t index, const std::filesystem::path& seed,
                                  const Scenario& scenario, const Cause& cause,
                                  FuzzSummary& summary) {
  auto rebuild = [this] {
    if (auto fresh = bulk_board(module_)) examiner_ = std::move(fresh).value();
  };
  auto keeps = [&](const Scenario& candidate) {
    try {
      Board& board = *examiner_;
      if (!board.reset(candidate)) return false;
      const RunResult r = board.boot();
      const auto got = finding_of(board, candidate, r, options_.mode);
      return got && *got == cause;
    } catch (const std::exception& e) {
      rebuild();
      return cause == Cause{"host error", e.what()};
    }
  };
  Minimized m = minimize(scenario, space_, keeps);
  summary.minimize_boots += m.boots;

  Finding f;
  f.cause = cause;
  f.platform = index;
  f.seed = seed;
  f.keys_found = keys_set(scenario, space_);
  f.scenario = std::move(m.scenario);
  f.scenario.name = "fuzz: " + cause.text();
  f.scenario.expect = {};
  if (cause.stops_run()) f.scenario.expect.fault = true;
  // The saved file's own boot, with exact EIP as `peiboard run` gives it.
  try {
    Board& board = *examiner_;
    if (!board.reset(f.scenario)) return Error{"the minimized finding does not fit a board"};
    const RunResult r = board.boot_exact();
    f.report = describe(cause, r, board);
  } catch (const std::exception& e) {
    rebuild();
    f.report = std::string("host error: ") + e.what();
  }
  if (!options_.out) return f;

  auto text = write_scenario(f.scenario);
  if (!text) return Error{"cannot write the finding " + cause.text() + ": " + text.error().message};
  std::error_code error;
  std::filesystem::create_directories(*options_.out, error);
  if (error) {
    return Error{options_.out->string() +
                 ": cannot make the folder for findings: " + error.message()};
  }
  // A new file, never over one there. A file that holds this cause already (an earlier
  // campaign's finding) is left as it was and counts for this one; another cause under the
  // same name keeps it and this one takes the next free one.
  const std::string origin =
      seed.empty() ? ", platform " + std::to_string(index) : ", seed " + printable(seed.string());
  const std::string stem = file_name(cause);
  for (int n = 1; n <= kMaxSameName; ++n) {
    f.file = *options_.out / (n == 1 ? stem + ".toml" : stem + "-" + std::to_string(n) + ".toml");
    const std::string saved =
        "# " + (options_.command.empty() ? std::string("peiboard fuzz") : options_.command) +
        origin + "; minimized from " + std::to_string(f.keys_found) + " keys to " +
        std::to_string(keys_set(f.scenario, space_)) + ".\n# " + f.report +
        "\n# Reproduce: " + options_.reproduce + " " + f.file.string() + "\n\n" + *text;
    auto created = create_output_file(f.file, saved);
    if (!created) return Error{"cannot save a finding: " + created.error().message};
    if (*created == Created::kWritten) return f;
    auto there = load_scenario_file(f.file);
    if (there && there->name == f.scenario.name) {
      f.saved_before = true;
      return f;
    }
  }
  return Error{"cannot save a finding: " + options_.out->string() + " holds " +
               std::to_string(kMaxSameName) + " files named " + stem + " already"};
}

Expected<FuzzSummary> Fuzzer::run(const std::function<void(const FuzzProgress&)>& progress) {
  if (auto seeded = seed(); !seeded) return seeded.error();
  FuzzSummary summary = std::move(seed_summary_);
  seed_summary_ = {};
  const auto start = Clock::now();
  auto last_report = start;
  auto last_new = start;
  size_t reached = coverage_.blocks() + coverage_.edges();
  const uint64_t limit = options_.runs      ? *options_.runs
                         : options_.seconds ? UINT64_MAX
                                            : FuzzOptions::kDefaultRuns;
  auto totals = [&](uint64_t boots) {
    return FuzzProgress{boots,
                        instructions_,
                        seconds_since(start),
                        coverage_.blocks(),
                        coverage_.edges(),
                        corpus_.size(),
                        summary.findings.size(),
                        std::chrono::duration<double>(Clock::now() - last_new).count()};
  };
  uint64_t next = 0;
  while (next < limit && !(options_.seconds && seconds_since(start) >= *options_.seconds)) {
    const uint64_t count = std::min(kBatch, limit - next);
    std::vector<Outcome> outcomes(count);
    boot_all(next, outcomes, true);
    for (uint64_t i = 0; i < count; ++i) {
      if (auto merged = merge(next + i, outcomes[i], summary); !merged) return merged.error();
    }
    next += count;
    if (coverage_.blocks() + coverage_.edges() != reached) {
      reached = coverage_.blocks() + coverage_.edges();
      last_new = Clock::now();
    }
    if (progress && Clock::now() - last_report >= std::chrono::seconds(1)) {
      progress(totals(next));
      last_report = Clock::now();
    }
  }
  summary.totals = totals(next);
  summary.seeded = *seeded_;
  summary.corpus_saved = corpus_saved_;
  routines_reached(summary);
  if (progress) progress(summary.totals);
  return summary;
}

// Which routines the boots entered. A routine is the code from one address of the code sections'
// symbols to the next: names that share an address are one routine, shown as "A/B". One whose
// own code no boot entered counts as entered where the debug file has the compiler's inlined
// copies of it and a boot ran into one of them.
void Fuzzer::routines_reached(FuzzSummary& summary) const {
  const PeImage& image = module_->image();
  const uint32_t size = image.size_of_image();
  // Which bytes of the image the reached blocks cover.
  std::vector<uint8_t> ran(size, 0);
  for (uint32_t offset = 0; offset < size; ++offset) {
    const uint32_t n = coverage_.block_size(offset);
    std::fill_n(ran.begin() + offset, std::min(n, size - offset), uint8_t{1});
  }
  auto any_ran = [&](uint64_t begin, uint64_t end) {
    for (uint64_t at = begin; at < std::min<uint64_t>(end, size); ++at) {
      if (ran[at]) return true;
    }
    return false;
  };
  const auto& symbols = image.symbols();
  for (size_t i = 0; i < symbols.size();) {
    const uint32_t begin = symbols[i].address - image.image_base();
    std::string names = symbols[i].name;
    size_t next = i + 1;
    for (; next < symbols.size() && symbols[next].address == symbols[i].address; ++next) {
      names += "/" + symbols[next].name;
    }
    const auto section =
        std::find_if(image.sections().begin(), image.sections().end(), [&](const PeSection& s) {
          return begin >= s.virtual_address && begin - s.virtual_address < s.virtual_size;
        });
    const size_t first = i;
    i = next;
    if (section == image.sections().end() || !(section->characteristics & scn::kCode)) continue;
    const uint32_t end =
        std::min(next < symbols.size() ? symbols[next].address - image.image_base() : size,
                 section->virtual_address + section->virtual_size);
    ++summary.routines;
    if (any_ran(begin, end)) continue;
    bool inlined = false;
    if (const SourceMap* debug = module_->debug_file()) {
      for (const InlinedScope& s : debug->inlined()) {
        bool named = false;
        for (size_t k = first; k < next && !named; ++k) named = symbols[k].name == s.routine;
        // Where the copy runs, as an offset in the image: modulo 2^32, as the shift is.
        const uint32_t at = s.begin + module_->shift() - image.image_base();
        inlined = named && at < size && any_ran(at, uint64_t{at} + (s.end - s.begin));
        if (inlined) break;
      }
    }
    (inlined ? summary.routines_inlined : summary.routines_missed).push_back(names);
  }
}

}  // namespace peiboard::fuzz
