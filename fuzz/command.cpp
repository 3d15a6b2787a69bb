#include "command.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>

#include "block_coverage.h"
#include "coverage.h"  // the debug library's source-line coverage
#include "files.h"
#include "format.h"

namespace peiboard::fuzz {
namespace {

double rate(uint64_t boots, double seconds) {
  return seconds > 0 ? static_cast<double>(boots) / seconds : 0.0;
}

// What bounds the campaign, for the time left.
struct Bound {
  std::optional<uint64_t> runs;
  std::optional<double> seconds;
};

std::string progress_line(const FuzzProgress& p, const Bound& bound) {
  char line[240];
  int n =
      std::snprintf(line, sizeof line,
                    "fuzz: %llu boots in %.0f s, %.0f boots/s, coverage %zu blocks %zu edges, "
                    "corpus %zu, findings %zu, new coverage %.0f s ago",
                    static_cast<unsigned long long>(p.boots), p.seconds, rate(p.boots, p.seconds),
                    p.blocks, p.edges, p.corpus, p.findings, p.since_new);
  std::optional<double> left;
  if (bound.seconds) left = std::max(0.0, *bound.seconds - p.seconds);
  if (bound.runs && p.boots >= *bound.runs) {
    left = 0.0;
  } else if (bound.runs && rate(p.boots, p.seconds) > 0) {
    left = static_cast<double>(*bound.runs - p.boots) / rate(p.boots, p.seconds);
  }
  if (left && n > 0 && static_cast<size_t>(n) < sizeof line) {
    std::snprintf(line + n, sizeof line - static_cast<size_t>(n), ", ETA %.0f s", *left);
  }
  return line;
}

std::string seeds_line(const Seeded& s, const std::optional<std::filesystem::path>& corpus) {
  std::string line = "seeds     " + std::to_string(s.files) + " files";
  if (corpus) {
    line += " (" + std::to_string(s.corpus_files) + " from the corpus " +
            printable(corpus->string()) + ")";
  }
  line += ": corpus " + std::to_string(s.corpus) + " platforms, " + std::to_string(s.blocks) +
          " blocks, " + std::to_string(s.edges) + " edges before the first new platform";
  if (s.refused > 0) line += "; " + std::to_string(s.refused) + " no board takes";
  return line;
}

nlohmann::ordered_json summary_json(const FuzzSummary& s, Mode mode, uint64_t seed, unsigned jobs,
                                    const std::optional<std::filesystem::path>& corpus) {
  const FuzzProgress& t = s.totals;
  nlohmann::ordered_json findings = nlohmann::ordered_json::array();
  for (const Finding& f : s.findings) {
    findings.push_back(
        {{"cause", printable(f.cause.text())},
         {"count", f.count},
         {"platform",
          f.seed.empty() ? nlohmann::ordered_json(f.platform) : nlohmann::ordered_json()},
         {"seed", f.seed.empty() ? nlohmann::ordered_json()
                                 : nlohmann::ordered_json(printable(f.seed.string()))},
         {"report", printable(f.report)},
         {"file", f.file.empty() ? nlohmann::ordered_json()
                                 : nlohmann::ordered_json(printable(f.file.string()))},
         {"saved_before", f.saved_before}});
  }
  return {{"mode", mode_name(mode)},
          {"seed", seed},
          {"jobs", jobs},
          {"runs", t.boots},
          {"seconds", t.seconds},
          {"boots_per_second", rate(t.boots, t.seconds)},
          {"blocks", t.blocks},
          {"edges", t.edges},
          {"corpus",
           {{"folder", corpus ? nlohmann::ordered_json(printable(corpus->string()))
                              : nlohmann::ordered_json()},
            {"size", t.corpus},
            {"saved", s.corpus_saved}}},
          {"seeds",
           {{"files", s.seeded.files},
            {"corpus_files", s.seeded.corpus_files},
            {"refused", s.seeded.refused},
            {"corpus", s.seeded.corpus},
            {"blocks", s.seeded.blocks},
            {"edges", s.seeded.edges}}},
          {"refused", s.refused},
          {"routines",
           {{"entered", s.routines - s.routines_missed.size()},
            {"of", s.routines},
            {"inlined_only", s.routines_inlined}}},
          {"findings", std::move(findings)}};
}

// The source lines the campaign's blocks cover, written as an lcov tracefile.
// Blocks count once each (the map keeps no counts), and each edge the map names that leaves a
// conditional branch counts as that branch's outcome.
Expected<CoverageSummary> write_lcov(const Module& module, const CoverageMap& reached,
                                     const LcovOutput& lcov) {
  auto lines = Coverage::create(module);
  if (!lines) return lines.error();
  const uint32_t base = module.image().image_base();
  for (uint32_t offset = 0; offset < reached.image_size(); ++offset) {
    if (const uint32_t size = reached.block_size(offset)) lines->add_block(base + offset, size);
  }
  for (const CoverageMap::Edge& e : reached.edge_list()) {
    if (e.from == BootCoverage::kNoBlock) continue;
    lines->add_flow(base + e.from, reached.block_size(e.from), base + e.to);
  }
  if (auto saved =
          write_output_file(lcov.tracefile, lines->lcov("peiboard_fuzz", lcov.source_root));
      !saved) {
    return saved.error();
  }
  return lines->summary();
}

}  // namespace

int fuzz_command(std::shared_ptr<const Module> module, FuzzOptions options, std::ostream& out,
                 std::ostream& err, bool live, const std::optional<LcovOutput>& lcov, bool json) {
  const Mode mode = options.mode;
  const uint64_t seed = options.seed;
  const unsigned jobs = options.jobs;
  const auto corpus = options.corpus;
  const Bound bound{options.runs, options.seconds};
  // With --json the standard output holds the summary object only.
  std::ostream& text = json ? err : out;
  text << "peiboard fuzz: " << mode_name(mode) << " mode, seed " << seed << ", " << jobs
       << (jobs == 1 ? " job\n" : " jobs\n") << std::flush;
  auto fuzzer = Fuzzer::create(module, std::move(options));
  if (!fuzzer) {
    err << "peiboard: " << printable(fuzzer.error().message) << "\n";
    return 2;
  }
  auto seeded = (*fuzzer)->seed();
  if (!seeded) {
    err << "peiboard: " << printable(seeded.error().message) << "\n";
    return 2;
  }
  if (seeded->files > 0 || corpus) text << seeds_line(*seeded, corpus) << "\n" << std::flush;
  size_t shown = 0;
  auto summary = (*fuzzer)->run([&](const FuzzProgress& p) {
    const std::string line = progress_line(p, bound);
    if (live) {
      err << "\r" << line << std::string(shown > line.size() ? shown - line.size() : 0, ' ')
          << std::flush;
      shown = line.size();
    } else {
      err << line << "\n";
    }
  });
  if (live) err << "\n";
  if (!summary) {
    err << "peiboard: " << printable(summary.error().message) << "\n";
    return 2;
  }
  if (json) {
    nlohmann::ordered_json object = summary_json(*summary, mode, seed, jobs, corpus);
    if (lcov) {
      auto lines = write_lcov(*module, (*fuzzer)->coverage(), *lcov);
      if (!lines) {
        err << "peiboard: " << printable(lines.error().message) << "\n";
        return 2;
      }
      object["lines"] = {{"hit", lines->lines_hit}, {"found", lines->lines_found}};
    }
    out << object.dump() << "\n" << std::flush;
    return summary->findings.empty() ? 0 : 1;
  }
  const FuzzProgress& t = summary->totals;
  char line[200];
  std::snprintf(line, sizeof line, "boots     %llu in %.1f s: %.0f boots/s (%.0f per job)",
                static_cast<unsigned long long>(t.boots), t.seconds, rate(t.boots, t.seconds),
                rate(t.boots, t.seconds) / jobs);
  out << line << "; " << (t.boots ? t.instructions / t.boots : 0)
      << " guest instructions per boot; " << summary->minimize_boots
      << " more boots to minimize findings\n";
  out << "coverage  " << t.blocks << " blocks, " << t.edges << " edges of module code; corpus "
      << t.corpus << " platforms";
  if (corpus) out << ", " << summary->corpus_saved << " new in " << printable(corpus->string());
  out << "\n";
  out << "routines  " << summary->routines - summary->routines_missed.size() << " of "
      << summary->routines << " entered";
  for (size_t i = 0; i < summary->routines_missed.size(); ++i) {
    out << (i == 0 ? "; never: " : ", ") << summary->routines_missed[i];
  }
  for (size_t i = 0; i < summary->routines_inlined.size(); ++i) {
    out << (i == 0 ? "; only inlined: " : ", ") << summary->routines_inlined[i];
  }
  out << "\n";
  if (summary->refused > 0) {
    out << "refused   " << summary->refused << " generated platforms (a defect of the fuzzer)\n";
  }
  if (lcov) {
    auto lines = write_lcov(*module, (*fuzzer)->coverage(), *lcov);
    if (!lines) {
      err << "peiboard: " << printable(lines.error().message) << "\n";
      return 2;
    }
    out << "lines     " << lines->lines_hit << " of " << lines->lines_found << " source lines run; "
        << printable(lcov->tracefile.string()) << "\n";
  }
  out << "findings  " << summary->findings.size() << "\n";
  for (const Finding& f : summary->findings) {
    out << "  " << f.cause.text() << "\n    ";
    if (f.seed.empty()) {
      out << "platform " << f.platform;
    } else {
      out << "seed " << printable(f.seed.string());
    }
    out << ", " << f.keys_found << " keys set; " << f.count << (f.count == 1 ? " boot" : " boots")
        << " showed it; " << f.report << "\n";
    if (!f.file.empty()) {
      out << "    " << printable(f.file.string())
          << (f.saved_before ? " (saved before, left as it was)" : "") << "\n";
    }
  }
  out.flush();
  return summary->findings.empty() ? 0 : 1;
}

}  // namespace peiboard::fuzz
