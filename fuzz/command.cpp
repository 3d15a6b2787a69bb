#include "command.h"

#include <cstdio>
#include <ostream>
#include <string>

#include "block_coverage.h"
#include "coverage.h"  // the debug library's source-line coverage
#include "files.h"
#include "format.h"
#include "source_map.h"

namespace peiboard::fuzz {
namespace {

double rate(uint64_t boots, double seconds) {
  return seconds > 0 ? static_cast<double>(boots) / seconds : 0.0;
}

std::string progress_line(const FuzzProgress& p) {
  char line[160];
  std::snprintf(line, sizeof line,
                "fuzz: %llu boots, %.0f boots/s, coverage %zu blocks %zu edges, corpus %zu, "
                "findings %zu",
                static_cast<unsigned long long>(p.boots), rate(p.boots, p.seconds), p.blocks,
                p.edges, p.corpus, p.findings);
  return line;
}

// The source lines the campaign's blocks cover, written as an lcov tracefile.
Expected<CoverageSummary> write_lcov(const PeImage& image, const CoverageMap& reached,
                                     const LcovOutput& lcov) {
  auto map = load_debug_file(lcov.debug_file, image);
  if (!map) return map.error();
  auto lines = Coverage::create(*map);
  if (!lines) return lines.error();
  for (uint32_t offset = 0; offset < reached.image_size(); ++offset) {
    if (const uint32_t size = reached.block_size(offset)) {
      lines->add_block(image.image_base() + offset, size);
    }
  }
  if (auto saved = write_output_file(lcov.tracefile, lines->lcov("peiboard fuzz", {})); !saved) {
    return saved.error();
  }
  return lines->summary();
}

}  // namespace

int fuzz_command(const PeImage& image, FuzzOptions options, std::ostream& out, std::ostream& err,
                 bool live, const std::optional<LcovOutput>& lcov) {
  const Mode mode = options.mode;
  const uint64_t seed = options.seed;
  const unsigned jobs = options.jobs;
  auto fuzzer = Fuzzer::create(image, std::move(options));
  if (!fuzzer) {
    err << "peiboard: " << printable(fuzzer.error().message) << "\n";
    return 2;
  }
  size_t shown = 0;
  auto summary = (*fuzzer)->run([&](const FuzzProgress& p) {
    const std::string line = progress_line(p);
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
  const FuzzProgress& t = summary->totals;
  char line[200];
  out << "peiboard fuzz: " << mode_name(mode) << " mode, seed " << seed << ", " << jobs
      << (jobs == 1 ? " job\n" : " jobs\n");
  std::snprintf(line, sizeof line, "boots     %llu in %.1f s: %.0f boots/s (%.0f per job)",
                static_cast<unsigned long long>(t.boots), t.seconds, rate(t.boots, t.seconds),
                rate(t.boots, t.seconds) / jobs);
  out << line << "; " << (t.boots ? t.instructions / t.boots : 0)
      << " guest instructions per boot; " << summary->minimize_boots
      << " more boots to minimize findings\n";
  out << "coverage  " << t.blocks << " blocks, " << t.edges << " edges of module code; corpus "
      << t.corpus << " platforms\n";
  out << "routines  " << summary->routines - summary->routines_missed.size() << " of "
      << summary->routines << " entered";
  for (size_t i = 0; i < summary->routines_missed.size(); ++i) {
    out << (i == 0 ? "; never: " : ", ") << summary->routines_missed[i];
  }
  out << "\n";
  if (summary->refused > 0) {
    out << "refused   " << summary->refused << " generated platforms (a defect of the fuzzer)\n";
  }
  if (lcov) {
    auto lines = write_lcov(image, (*fuzzer)->coverage(), *lcov);
    if (!lines) {
      err << "peiboard: " << printable(lines.error().message) << "\n";
      return 2;
    }
    out << "lines     " << lines->lines_hit << " of " << lines->lines_found << " source lines run; "
        << printable(lcov->tracefile.string()) << "\n";
  }
  out << "findings  " << summary->findings.size() << "\n";
  for (const Finding& f : summary->findings) {
    out << "  " << f.cause.text() << "\n    platform " << f.platform << ", " << f.keys_found
        << " keys set; " << f.report << "\n";
    if (!f.file.empty()) out << "    " << printable(f.file.string()) << "\n";
  }
  out.flush();
  return summary->findings.empty() ? 0 : 1;
}

}  // namespace peiboard::fuzz
