// peiboard: boots the module's image on the emulated board and shows what it did.
#include <unistd.h>

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
#include <thread>
#include <vector>

#include "board.h"
#include "command.h"
#include "coverage_run.h"
#include "files.h"
#include "gdb_stub.h"
#include "module_image.h"
#include "report.h"
#include "scenario_loader.h"

namespace {

using peiboard::Board;
using peiboard::PeImage;
using peiboard::Scenario;

enum Exit : int { kDone = 0, kFailed = 1, kBadInput = 2 };

struct ImagePaths {
  std::string image = PEIBOARD_IMAGE;
  std::string map;         // empty: the image path with .map instead of .efi
  std::string debug_file;  // empty: the image path with .debug.elf instead of .efi, if there
};

// The debug file named with --debug-file, else the one the build writes beside the image.
std::filesystem::path debug_file_of(const ImagePaths& paths) {
  if (!paths.debug_file.empty()) return paths.debug_file;
  return std::filesystem::path(paths.image).replace_extension(".debug.elf");
}

// The module's debug file for source lines: the one named, which must load, or the one the
// build writes beside the image, when it is there. Without one, reports name routines only.
std::optional<peiboard::Expected<peiboard::SourceMap>> load_source(const ImagePaths& paths) {
  if (!paths.debug_file.empty()) return peiboard::SourceMap::load(paths.debug_file);
  auto beside = debug_file_of(paths);
  std::error_code ignored;
  if (!std::filesystem::is_regular_file(beside, ignored)) return std::nullopt;
  auto source = peiboard::SourceMap::load(beside);
  if (!source) return std::nullopt;  // a stale or foreign file beside the image: do without
  return source;
}

// The link map named with --map, else the one beside the image when it is there.
std::optional<std::filesystem::path> map_of(const ImagePaths& paths) {
  if (!paths.map.empty()) return std::filesystem::path(paths.map);
  return peiboard::map_beside(paths.image);
}

// The module in any form it ships (PE32, TE, FFS file, firmware volume), at the address it
// executes at. Without a link map the image has no names, which the kind check reports.
std::optional<PeImage> load_image(const ImagePaths& paths) {
  auto image = peiboard::load_module_image(paths.image, map_of(paths));
  if (!image) {
    std::cerr << "peiboard: " << image.error().message << "\n";
    return std::nullopt;
  }
  if (auto problems = image->check(); !problems.empty()) {
    for (const auto& p : problems) std::cerr << "peiboard: " << paths.image << ": " << p << "\n";
    return std::nullopt;
  }
  if (auto placed = peiboard::place_in_flash(*image); !placed) {
    std::cerr << "peiboard: " << paths.image << ": " << placed.error().message << "\n";
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
        bool trace, bool trace_instructions, std::optional<uint16_t> gdb_port) {
  if (trace_instructions && gdb_port) {
    std::cerr << "peiboard: --trace=insn and --gdb each follow every instruction: use one\n";
    return kBadInput;
  }
  auto scenario = load_scenario(scenario_path);
  if (!scenario) return kBadInput;
  auto image = load_image(paths);
  if (!image) return kBadInput;
  auto source = load_source(paths);
  if (source && !*source) {
    std::cerr << "peiboard: " << source->error().message << "\n";
    return kBadInput;
  }
  // One run: the board keeps EIP exact at every instruction, so a fault names its
  // instruction.
  auto board = Board::create(*scenario, *image,
                             {.precise = true, .source = source ? &source->value() : nullptr});
  if (!board) {
    std::cerr << "peiboard: " << board.error().message << "\n";
    return kBadInput;
  }
  peiboard::InstructionTrace instructions;
  if (trace_instructions) (*board)->machine().set_debug_observer(&instructions);
  std::optional<peiboard::gdb::Stub> stub;
  if (gdb_port) {
    auto client = peiboard::gdb::wait_for_debugger(*gdb_port, std::cerr);
    if (!client) {
      std::cerr << "peiboard: " << client.error().message << "\n";
      return kBadInput;
    }
    stub.emplace((*board)->machine(), std::move(client).value());
  }
  const auto result = (*board)->boot();
  if (stub) stub->finish(result.fault ? kFailed : kDone, result.fault ? result.fault->text() : "");
  (*board)->machine().set_debug_observer(nullptr);
  const peiboard::InstructionTrace* listed = trace_instructions ? &instructions : nullptr;
  errno = 0;
  if (json) {
    std::cout << peiboard::run_json(**board, result, trace, listed).dump(2) << "\n";
  } else {
    std::cout << peiboard::human_report(**board, result, trace, listed);
  }
  if (!written(std::cout)) return kBadInput;
  return result.fault ? kFailed : kDone;
}

int check(const ImagePaths& paths, const std::vector<std::string>& scenarios) {
  auto image = load_image(paths);
  if (!image) return kBadInput;
  // Every file is read and checked before any boots: a bad one stops the whole check.
  std::vector<Scenario> checked;
  for (const auto& path : scenarios) {
    auto scenario = load_scenario(std::optional<std::string>(path));
    if (!scenario) return kBadInput;
    if (!scenario->expect.any()) {
      std::cerr << "peiboard: " << path << ": no [expect] to check\n";
      return kBadInput;
    }
    checked.push_back(std::move(*scenario));
  }
  // One board, reset for each file; a faulting boot is replayed with exact EIP.
  int exit = kDone;
  std::unique_ptr<Board> board;
  for (size_t i = 0; i < checked.size(); ++i) {
    const std::string& path = scenarios[i];
    if (!board) {
      auto made = Board::create(checked[i], *image);
      if (!made) {
        std::cerr << "peiboard: " << path << ": " << made.error().message << "\n";
        return kBadInput;
      }
      board = std::move(made).value();
    } else if (auto reset = board->reset(checked[i]); !reset) {
      std::cerr << "peiboard: " << path << ": " << reset.error().message << "\n";
      return kBadInput;
    }
    const auto result = board->boot_exact();
    const auto diffs = peiboard::check_expectations(checked[i].expect, *board, result);
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
  long rss_warm = 0, rss_end = 0;        // resident KiB after a tenth of the boots, at the end
  double total() const { return build + reset + run; }
};

// The process's resident set in KiB (0 where /proc does not tell).
long resident_kib() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  if (!(statm >> pages >> resident)) return 0;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

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
    if (f.boots == std::max(1, runs / 10)) f.rss_warm = resident_kib();
  }
  f.rss_end = resident_kib();
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
  std::cout << reused->instructions << " guest instructions per boot, CPU engine "
            << peiboard::Machine::engine_version() << "\n";
  std::cout << "resident memory " << reused->rss_end << " KiB, "
            << reused->rss_end - reused->rss_warm << " KiB more than after "
            << std::max(1, runs / 10) << " boots\n";
  return written(std::cout) ? kDone : kBadInput;
}

// Boots each scenario on one board and writes the lcov tracefile of the module's lines and
// branches those boots ran; sources are named under `source_root`, where genhtml reads them.
int coverage(const ImagePaths& paths, const std::vector<std::string>& scenario_paths,
             const std::string& lcov_path, const std::string& source_root) {
  std::vector<Scenario> scenarios;
  for (const auto& path : scenario_paths) {
    auto scenario = load_scenario(std::optional<std::string>(path));
    if (!scenario) return kBadInput;
    scenarios.push_back(std::move(*scenario));
  }
  auto image = load_image(paths);
  if (!image) return kBadInput;
  auto map = peiboard::SourceMap::load(debug_file_of(paths));
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
  if (auto saved = peiboard::write_output_file(lcov_path, cov->lcov("scenarios", source_root));
      !saved) {
    std::cerr << "peiboard: " << saved.error().message << "\n";
    return kBadInput;
  }
  std::cout << peiboard::coverage_totals(cov->summary()) << "\n";
  return written(std::cout) ? exit : kBadInput;
}

int fuzz(const ImagePaths& paths, peiboard::fuzz::FuzzOptions options, const std::string& lcov) {
  auto image = load_image(paths);
  if (!image) return kBadInput;
  std::optional<peiboard::fuzz::LcovOutput> coverage;
  if (!lcov.empty()) {
    coverage = {debug_file_of(paths), lcov};
  }
  return peiboard::fuzz::fuzz_command(*image, std::move(options), std::cout, std::cerr,
                                      isatty(STDERR_FILENO) != 0, coverage);
}

// Describes the image in whatever form, with or without a link map.
int describe_image(const ImagePaths& paths) {
  auto module = peiboard::load_module_file(paths.image, map_of(paths));
  if (!module) {
    std::cerr << "peiboard: " << module.error().message << "\n";
    return kBadInput;
  }
  errno = 0;
  std::cout << peiboard::describe_module(*module, paths.image);
  return written(std::cout) ? kDone : kBadInput;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that went away is reported as a failed write, not a silent death by signal.
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App app{"peiboard: boots the board's PEI module image on an emulated board"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "peiboard, CPU engine " + peiboard::Machine::engine_version());
  app.fallthrough();  // --image and --map may follow the subcommand too
  ImagePaths paths;
  if (const char* env = std::getenv("PEIBOARD_IMAGE")) paths.image = env;
  app.add_option("--image", paths.image,
                 "module image: PE32 (.efi), TE, FFS file or firmware volume; its link map "
                 "sits beside it")
      ->capture_default_str();
  app.add_option("--map", paths.map, "link map of the image, if not beside it");
  app.add_option("--debug-file", paths.debug_file,
                 "the module's debug file for source lines (default: the .debug.elf beside the "
                 "image, when there)");

  std::optional<std::string> scenario;
  bool json = false;
  std::string trace;
  auto* run_cmd = app.add_subcommand("run", "one boot of the module on a scenario");
  run_cmd->add_option("scenario", scenario, "scenario file (default: the built-in default board)");
  run_cmd->add_flag("--json", json, "print the run as one JSON object");
  auto* trace_option =
      run_cmd
          ->add_option("--trace", trace,
                       "add every register access and PPI/service call; --trace=insn also "
                       "lists every instruction executed (up to 200,000)")
          ->expected(0, 1)
          ->check(CLI::IsMember({"", "calls", "insn"}));
  std::optional<uint16_t> gdb_port;
  run_cmd
      ->add_option("--gdb", gdb_port,
                   "wait for GDB on 127.0.0.1:PORT (0: a free port, printed) and serve it the "
                   "guest, stopped before the entry point; the report follows the run")
      ->option_text("PORT");
  run_cmd->footer(
      "Debugging: peiboard run --gdb 1234, then in another terminal\n"
      "  gdb-multiarch -ex 'file build/firmware/QuarnelPeiSystemBoardOverride.debug.elf' \\\n"
      "                -ex 'target remote 127.0.0.1:1234'\n"
      "Breakpoints, steps, registers and RAM as usual; Ctrl-C stops the guest, detach or quit "
      "lets the run finish.");

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

  peiboard::fuzz::FuzzOptions fuzz_options;
  fuzz_options.jobs = std::max(1u, std::thread::hardware_concurrency());
  std::string fuzz_mode = "platform";
  std::string fuzz_out = "fuzz-findings";
  auto* fuzz_cmd =
      app.add_subcommand("fuzz", "boot generated platforms, coverage-guided; save what breaks");
  fuzz_cmd->add_option("--mode", fuzz_mode, "platform: within the contracts; hostile: also not")
      ->check(CLI::IsMember({"platform", "hostile"}))
      ->capture_default_str();
  auto* fuzz_runs = fuzz_cmd->add_option("--runs", fuzz_options.runs, "platforms to boot")
                        ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 40));
  fuzz_cmd->add_option("--time", fuzz_options.seconds, "seconds to run instead")
      ->check(CLI::PositiveNumber)
      ->excludes(fuzz_runs);
  fuzz_cmd->add_option("--seed", fuzz_options.seed, "names the campaign")->capture_default_str();
  fuzz_cmd->add_option("--jobs", fuzz_options.jobs, "boards booting at once (threads)")
      ->check(CLI::Range(1u, 256u))
      ->capture_default_str();
  fuzz_cmd->add_option("--out", fuzz_out, "folder for the findings")->capture_default_str();
  std::string fuzz_lcov;
  fuzz_cmd->add_option("--lcov", fuzz_lcov, "write the source lines reached as an lcov file");

  std::string lcov_path, source_root = PEIBOARD_FIRMWARE_DIR;
  auto* coverage_cmd = app.add_subcommand(
      "coverage", "boot scenarios and write the lcov tracefile of the module's lines and branches");
  coverage_cmd->add_option("scenarios", scenarios, "scenario files")->required();
  coverage_cmd->add_option("--lcov", lcov_path, "tracefile to write")->required();
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
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kBadInput;
  }
  try {
    if (*run_cmd) {
      return run(paths, scenario, json, trace_option->count() > 0, trace == "insn", gdb_port);
    }
    if (*check_cmd) return check(paths, scenarios);
    if (*bench_cmd) return bench(paths, scenario, runs, fresh);
    if (*fuzz_cmd) {
      fuzz_options.mode =
          fuzz_mode == "hostile" ? peiboard::fuzz::Mode::kHostile : peiboard::fuzz::Mode::kPlatform;
      fuzz_options.out = fuzz_out;
      const std::string image =
          paths.image == PEIBOARD_IMAGE ? std::string() : " --image " + paths.image;
      fuzz_options.command = "peiboard" + image + " fuzz --mode " + fuzz_mode + " --seed " +
                             std::to_string(fuzz_options.seed);
      fuzz_options.reproduce = "peiboard" + image + " run";
      return fuzz(paths, std::move(fuzz_options), fuzz_lcov);
    }
    if (*coverage_cmd) return coverage(paths, scenarios, lcov_path, source_root);
    if (!image_path.empty()) paths.image = image_path;
    return describe_image(paths);
  } catch (const std::exception& e) {
    std::cerr << "peiboard: internal error: " << e.what() << "\n";
    return kFailed;
  }
}
