// peiboard: boots the module's image on the emulated board and shows what it did.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "coverage_run.h"
#include "report.h"
#include "scenario_loader.h"

namespace {

using peiboard::Board;
using peiboard::PeImage;
using peiboard::Scenario;

enum Exit : int { kDone = 0, kFailed = 1, kBadInput = 2 };

struct ImagePaths {
  std::string image = PEIBOARD_IMAGE;
  std::string map;  // empty: the image path with .map instead of .efi
};

std::optional<PeImage> load_image(const ImagePaths& paths) {
  // The link map beside the image is read when it is there; without one the image has no
  // names, which the kind check below reports.
  std::optional<std::filesystem::path> map;
  if (!paths.map.empty()) {
    map = paths.map;
  } else if (auto beside = std::filesystem::path(paths.image).replace_extension(".map");
             std::filesystem::exists(beside)) {
    map = beside;
  }
  auto image = PeImage::load(paths.image, map);
  if (!image) {
    std::cerr << "peiboard: " << image.error().message << "\n";
    return std::nullopt;
  }
  if (auto problems = image->check(); !problems.empty()) {
    for (const auto& p : problems) std::cerr << "peiboard: " << paths.image << ": " << p << "\n";
    return std::nullopt;
  }
  return std::move(image).value();
}

// The default board when no file is named; a named file must be a readable scenario, and
// an empty name is an error, not the default board.
std::optional<Scenario> load_scenario(const std::optional<std::string>& path) {
  if (!path) return peiboard::default_scenario();
  auto scenario = peiboard::load_scenario_file(*path);
  if (!scenario) {
    std::cerr << "peiboard: " << scenario.error().to_string() << "\n";
    return std::nullopt;
  }
  return std::move(scenario).value();
}

// The report goes out whole or the run fails: a full disk, a closed or broken standard
// output is an error of its own (exit status 2), never a silent success.
bool written(std::ostream& out) {
  out.flush();
  if (out) return true;
  std::cerr << "peiboard: cannot write the report to standard output: "
            << (errno ? std::strerror(errno) : "write failed") << "\n";
  return false;
}

int run(const ImagePaths& paths, const std::optional<std::string>& scenario_path, bool json,
        bool trace) {
  auto scenario = load_scenario(scenario_path);
  if (!scenario) return kBadInput;
  auto image = load_image(paths);
  if (!image) return kBadInput;
  // One run: the board keeps EIP exact at every instruction, so a fault names its
  // instruction.
  auto board = Board::create(*scenario, *image, {.precise = true});
  if (!board) {
    std::cerr << "peiboard: " << board.error().message << "\n";
    return kBadInput;
  }
  const auto result = (*board)->boot();
  errno = 0;
  if (json) {
    std::cout << peiboard::run_json(**board, result, trace).dump(2) << "\n";
  } else {
    std::cout << peiboard::human_report(**board, result, trace);
  }
  if (!written(std::cout)) return kBadInput;
  return result.fault ? kFailed : kDone;
}

int check(const ImagePaths& paths, const std::vector<std::string>& scenarios) {
  auto image = load_image(paths);
  if (!image) return kBadInput;
  int exit = kDone;
  for (const auto& path : scenarios) {
    auto scenario = load_scenario(std::optional<std::string>(path));
    if (!scenario) return kBadInput;
    if (!scenario->expect.any()) {
      std::cerr << "peiboard: " << path << ": no [expect] to check\n";
      return kBadInput;
    }
    auto board = Board::create(*scenario, *image);
    if (!board) {
      std::cerr << "peiboard: " << board.error().message << "\n";
      return kBadInput;
    }
    const auto result = (*board)->boot();
    const auto diffs = peiboard::check_expectations(scenario->expect, **board, result);
    std::cout << (diffs.empty() ? "ok    " : "FAIL  ") << path << "\n";
    for (const auto& d : diffs) std::cout << "      " << d << "\n";
    if (!diffs.empty()) exit = kFailed;
  }
  if (!written(std::cout)) return kBadInput;
  return exit;
}

// Where a bench's time went.
struct BenchFigures {
  int boots = 0;
  double build = 0, reset = 0, run = 0;  // seconds
  uint64_t instructions = 0;             // guest instructions of the last boot
  double total() const { return build + reset + run; }
};

using Clock = std::chrono::steady_clock;
double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Boots `runs` times: on one board reset between boots, or (fresh) on a new board and
// engine each time, as a single `peiboard run` does. The run's trace is not kept: nothing
// shows it.
peiboard::Expected<BenchFigures> bench_boots(const Scenario& scenario, const PeImage& image,
                                             int runs, bool fresh) {
  BenchFigures f;
  std::unique_ptr<Board> board;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    if (fresh || !board) {
      board.reset();
      auto made = Board::create(scenario, image);
      if (!made) return made.error();
      board = std::move(made).value();
      f.build += since(start);
    } else {
      if (auto reset = board->reset(scenario); !reset) return reset.error();
      f.reset += since(start);
    }
    board->log().tracing = false;
    start = Clock::now();
    const auto result = board->boot();
    f.run += since(start);
    if (result.fault) {
      return peiboard::Error{"boot " + std::to_string(i) + " stopped: " + result.fault->text()};
    }
    f.instructions = result.instructions;
    ++f.boots;
  }
  return f;
}

std::string bench_line(const char* path, const BenchFigures& f) {
  char line[200];
  const double t = f.total();
  std::snprintf(
      line, sizeof line,
      "%-7s %7d boots in %7.3f s: %7.0f boots/s  (build %4.1f%%, reset %4.1f%%, run %4.1f%%)", path,
      f.boots, t, f.boots / t, 100 * f.build / t, 100 * f.reset / t, 100 * f.run / t);
  return line;
}

int bench(const ImagePaths& paths, const std::optional<std::string>& scenario_path, int runs,
          bool fresh) {
  auto scenario = load_scenario(scenario_path);
  if (!scenario) return kBadInput;
  auto image = load_image(paths);
  if (!image) return kBadInput;
  auto reused = bench_boots(*scenario, *image, runs, false);
  if (!reused) {
    std::cerr << "peiboard: " << reused.error().message << "\n";
    return kFailed;
  }
  std::cout << bench_line("reused", *reused) << "\n";
  if (fresh) {
    auto each = bench_boots(*scenario, *image, runs, true);
    if (!each) {
      std::cerr << "peiboard: " << each.error().message << "\n";
      return kFailed;
    }
    std::cout << bench_line("fresh", *each) << "\n";
    std::cout << "reused/fresh " << std::fixed << std::setprecision(1)
              << (reused->boots / reused->total()) / (each->boots / each->total()) << "x\n";
  }
  std::cout << reused->instructions << " guest instructions per boot\n";
  return written(std::cout) ? kDone : kBadInput;
}

// Boots each scenario on one board and writes the lcov tracefile of the module's lines and
// branches those boots ran; sources are named under `source_root`, where genhtml reads them.
int coverage(const ImagePaths& paths, const std::vector<std::string>& scenario_paths,
             const std::string& lcov_path, const std::string& debug_elf,
             const std::string& source_root) {
  std::vector<Scenario> scenarios;
  for (const auto& path : scenario_paths) {
    auto scenario = load_scenario(std::optional<std::string>(path));
    if (!scenario) return kBadInput;
    scenarios.push_back(std::move(*scenario));
  }
  auto image = load_image(paths);
  if (!image) return kBadInput;
  auto map = peiboard::SourceMap::load(debug_elf);
  if (!map) {
    std::cerr << "peiboard: " << map.error().message << "\n";
    return kBadInput;
  }
  auto cov = peiboard::Coverage::create(*map);
  if (!cov) {
    std::cerr << "peiboard: " << cov.error().message << "\n";
    return kBadInput;
  }
  auto boots = peiboard::boot_for_coverage(scenarios, *image, *cov);
  if (!boots) {
    std::cerr << "peiboard: " << boots.error().message << "\n";
    return kBadInput;
  }
  int exit = kDone;
  for (size_t i = 0; i < boots->size(); ++i) {
    const auto& fault = (*boots)[i].fault;
    std::cout << (fault ? "fault " : "ok    ") << scenario_paths[i];
    if (fault) std::cout << ": " << fault->text();
    std::cout << "\n";
    if (fault) exit = kFailed;
  }
  std::ofstream out(lcov_path);
  out << cov->lcov("scenarios", source_root);
  out.close();
  if (!out) {
    std::cerr << "peiboard: cannot write " << lcov_path << "\n";
    return kBadInput;
  }
  std::cout << peiboard::coverage_totals(cov->summary()) << "\n";
  return written(std::cout) ? exit : kBadInput;
}

int describe_image(const ImagePaths& paths) {
  auto image = load_image(paths);
  if (!image) return kBadInput;
  std::printf("image    %s\n", paths.image.c_str());
  std::printf("kind     PE32, i386, EFI boot service driver, no imports\n");
  std::printf("size     %zu bytes in the file, 0x%X in memory\n", image->file_bytes().size(),
              image->size_of_image());
  std::printf("base     0x%08X\nentry    0x%08X\n", image->image_base(), image->entry_point());
  std::printf("sections\n");
  for (const auto& s : image->sections()) {
    std::printf("  %-8s 0x%08X  %6u bytes\n", s.name.c_str(),
                image->image_base() + s.virtual_address, s.virtual_size);
  }
  std::printf("symbols  %zu\n", image->symbols().size());
  for (const auto& s : image->symbols()) std::printf("  0x%08X  %s\n", s.address, s.name.c_str());
  return kDone;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that went away is reported as a failed write, not a silent death by signal.
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App app{"peiboard: boots the board's PEI module image on an emulated board"};
  app.require_subcommand(1);
  app.fallthrough();  // --image and --map may follow the subcommand too
  ImagePaths paths;
  if (const char* env = std::getenv("PEIBOARD_IMAGE")) paths.image = env;
  app.add_option("--image", paths.image, "module image (.efi); its link map sits beside it")
      ->capture_default_str();
  app.add_option("--map", paths.map, "link map of the image, if not beside it");

  std::optional<std::string> scenario;
  bool json = false, trace = false;
  auto* run_cmd = app.add_subcommand("run", "one boot of the module on a scenario");
  run_cmd->add_option("scenario", scenario, "scenario file (default: the built-in default board)");
  run_cmd->add_flag("--json", json, "print the run as one JSON object");
  run_cmd->add_flag("--trace", trace, "add every register access and PPI/service call");

  std::vector<std::string> scenarios;
  auto* check_cmd = app.add_subcommand("check", "run scenarios and compare with their [expect]");
  check_cmd->add_option("scenarios", scenarios, "scenario files")->required();

  int runs = 2000;
  bool fresh = false;
  auto* bench_cmd = app.add_subcommand("bench", "boot a board repeatedly and time it");
  bench_cmd->add_option("scenario", scenario, "scenario file (default: the default board)");
  bench_cmd->add_option("--runs", runs, "number of boots")->check(CLI::Range(1, 10000000));
  bench_cmd->add_flag("--fresh", fresh,
                      "also time a new board and engine per boot, for comparison");

  std::string lcov_path, debug_elf = PEIBOARD_DEBUG_ELF, source_root = PEIBOARD_FIRMWARE_DIR;
  auto* coverage_cmd = app.add_subcommand(
      "coverage", "boot scenarios and write the lcov tracefile of the module's lines and branches");
  coverage_cmd->add_option("scenarios", scenarios, "scenario files")->required();
  coverage_cmd->add_option("--lcov", lcov_path, "tracefile to write")->required();
  coverage_cmd->add_option("--debug", debug_elf, "the image's debug file")->capture_default_str();
  coverage_cmd->add_option("--sources", source_root, "firmware source tree the tracefile names")
      ->capture_default_str();

  std::string image_path;
  auto* image_cmd = app.add_subcommand("image", "what the module image is");
  image_cmd->add_option("path", image_path, "image file (default: the built one)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kBadInput;
  }
  try {
    if (*run_cmd) return run(paths, scenario, json, trace);
    if (*check_cmd) return check(paths, scenarios);
    if (*bench_cmd) return bench(paths, scenario, runs, fresh);
    if (*coverage_cmd) return coverage(paths, scenarios, lcov_path, debug_elf, source_root);
    if (!image_path.empty()) paths.image = image_path;
    return describe_image(paths);
  } catch (const std::exception& e) {
    std::cerr << "peiboard: internal error: " << e.what() << "\n";
    return kFailed;
  }
}
