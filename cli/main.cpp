// peiboard: boots the module's image on the emulated board and shows what it did.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cmath>
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
#include "check_results.h"
#include "command.h"
#include "coverage_run.h"
#include "files.h"
#include "format.h"
#include "gdb_stub.h"
#include "image_command.h"
#include "module_image.h"
#include "module_names.h"
#include "report.h"
#include "scenario_loader.h"

namespace {

using peiboard::Board;
using peiboard::PeImage;
using peiboard::Scenario;

// 1 is the module's failure (a fault, hang or halt, a failed check), 2 the user's (bad input
// or usage), 3 this program's own (an internal error: a bug, or the host out of memory), 4 a
// module the dispatcher would not run (its dependency expression does not hold).
enum Exit : int { kDone = 0, kFailed = 1, kBadInput = 2, kInternal = 3, kNotDispatched = 4 };

// One line on standard error, escaped: a message may hold a name taken from a file name or a
// command line, and no such name reaches the terminal as control characters.
void complain(const std::string& message) {
  std::cerr << "peiboard: " << peiboard::printable(message) << "\n";
}

struct ImagePaths {
  std::string image = PEIBOARD_IMAGE;
  std::string map;         // empty: the image path with .map instead of .efi
  std::string debug_file;  // empty: the image path with .debug.elf instead of .efi, if there
};

// The debug file named with --debug-file, else the one the build writes beside the image, else
// (for an image packed or moved elsewhere, with its link map named) the one beside the map.
std::filesystem::path debug_file_of(const ImagePaths& paths) {
  if (!paths.debug_file.empty()) return paths.debug_file;
  auto beside = std::filesystem::path(paths.image).replace_extension(".debug.elf");
  std::error_code ignored;
  if (paths.map.empty() || std::filesystem::is_regular_file(beside, ignored)) return beside;
  return std::filesystem::path(paths.map).replace_extension(".debug.elf");
}

// The module's debug file for source lines: the one named, which must load, or the one the
// build writes beside the image, when it is there. Without one, reports name routines only.
// Either must describe the image: one that loads but holds other code is refused.
std::optional<peiboard::Expected<peiboard::SourceMap>> load_source(const ImagePaths& paths,
                                                                   const PeImage& image) {
  if (!paths.debug_file.empty()) return peiboard::load_debug_file(paths.debug_file, image);
  auto beside = debug_file_of(paths);
  std::error_code ignored;
  if (!std::filesystem::is_regular_file(beside, ignored)) return std::nullopt;
  auto source = peiboard::SourceMap::load(beside);
  if (!source) return std::nullopt;  // not a debug file: do without
  if (auto same = peiboard::debug_file_describes(*source, image); !same) {
    return peiboard::Error{beside.string() + ": " + same.error().message};
  }
  return source;
}

// The link map named with --map, else the one beside the image when it is there.
std::optional<std::filesystem::path> map_of(const ImagePaths& paths) {
  if (!paths.map.empty()) return std::filesystem::path(paths.map);
  return peiboard::map_beside(paths.image);
}

// The module in any form it ships (PE32, TE, FFS file, firmware volume), at the address it
// executes at, with its file's dependency expression when it has one, and the names of its
// routines and data from its link map, else from its debug file. Without either it boots on
// the entry point its header gives, and `hint` (when given) says which file would name its
// routines.
struct LoadedModule {
  PeImage image;
  std::optional<std::vector<peiboard::DepexOp>> depex;
};
std::optional<LoadedModule> load_module(const ImagePaths& paths, std::string* hint = nullptr) {
  auto module = peiboard::load_module_file(paths.image, map_of(paths));
  if (!module) {
    complain(module.error().message);
    return std::nullopt;
  }
  PeImage& image = module->image;
  if (image.symbols().empty()) {
    const auto debug_file = debug_file_of(paths);
    std::error_code ignored;
    if (!paths.debug_file.empty() || std::filesystem::is_regular_file(debug_file, ignored)) {
      auto names = peiboard::names_from_debug_file(debug_file, image);
      if (names) {
        image.attach_map(*names);
      } else if (!paths.debug_file.empty()) {
        complain(names.error().message);
        return std::nullopt;
      }
    }
  }
  if (hint && image.symbols().empty()) {
    const bool named = module->file && module->file->ui_name && !module->file->ui_name->empty();
    *hint = peiboard::names_hint(named ? *module->file->ui_name
                                       : std::filesystem::path(paths.image).stem().string());
  }
  if (auto problems = image.check(); !problems.empty()) {
    for (const auto& p : problems) complain(paths.image + std::string(": ") + p);
    return std::nullopt;
  }
  if (auto placed = peiboard::place_in_flash(image); !placed) {
    complain(paths.image + std::string(": ") + placed.error().message);
    return std::nullopt;
  }
  return LoadedModule{std::move(image), module->file ? module->file->depex : std::nullopt};
}

// The image alone, for commands that boot it whatever its dependency expression says.
std::optional<PeImage> load_image(const ImagePaths& paths, std::string* hint = nullptr) {
  auto module = load_module(paths, hint);
  if (!module) return std::nullopt;
  return std::move(module->image);
}

// The module's name: its file's user-interface section, else the input file's stem.
std::string module_name(const peiboard::InspectNode& node, const std::string& path) {
  for (const auto& [key, value] : node.fields) {
    if (node.kind == "section" && key == "text" && !value.empty()) return value;
  }
  for (const auto& child : node.children) {
    if (auto name = module_name(child, ""); !name.empty()) return name;
  }
  return path.empty() ? std::string() : std::filesystem::path(path).stem().string();
}

// A board that could not be built for an image without names says which file names them; a
// scenario it could not hold is named by file, line and key.
std::string board_error(const peiboard::BoardError& error, const std::string& hint) {
  const std::string text = error.scenario ? error.scenario->to_string() : error.message;
  return hint.empty() ? text : text + ": " + hint;
}

// The default board when no file is named; a named file must be a readable scenario, and
// an empty name is an error, not the default board.
std::optional<Scenario> load_scenario(const std::optional<std::string>& path) {
  if (!path) return peiboard::default_scenario();
  auto scenario = peiboard::load_scenario_file(*path);
  if (!scenario) {
    complain(scenario.error().to_string());
    return std::nullopt;
  }
  return std::move(scenario).value();
}

// The report goes out whole or the run fails: a full disk or a closed standard output is an
// error of its own (exit status 2), never a silent success. A reader that went away (a pipe
// into `head`) ends the program quietly, by SIGPIPE, as other Unix tools end.
bool written(std::ostream& out) {
  out.flush();
  if (out) return true;
  if (errno == EPIPE) {
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
  }
  std::cerr << "peiboard: cannot write the report to standard output: "
            << (errno ? std::strerror(errno) : "write failed") << "\n";
  return false;
}

int run(const ImagePaths& paths, const std::optional<std::string>& scenario_path, bool json,
        bool trace, bool trace_instructions, bool trace_stack, std::optional<uint16_t> gdb_port) {
  if (trace_instructions && gdb_port) {
    std::cerr << "peiboard: --trace=insn and --gdb each follow every instruction: use one\n";
    return kBadInput;
  }
  auto scenario = load_scenario(scenario_path);
  if (!scenario) return kBadInput;
  std::string hint;
  auto module = load_module(paths, &hint);
  if (!module) return kBadInput;
  auto source = load_source(paths, module->image);
  if (source && !*source) {
    complain(source->error().message);
    return kBadInput;
  }
  auto named = peiboard::Module::create(
      std::move(module->image), source ? std::optional(std::move(*source).value()) : std::nullopt);
  // One run: the board keeps EIP exact at every instruction, so a fault names its
  // instruction.
  auto board = Board::create(*scenario, named, {.precise = true, .depex = module->depex});
  if (!board) {
    complain(board_error(board.error(), hint));
    return kBadInput;
  }
  peiboard::InstructionTrace instructions;
  if (trace_instructions) (*board)->machine().set_debug_observer(&instructions);
  if (trace_stack) {
    (*board)->log().callers_of = [&b = **board](uint32_t at) { return b.callers_of(at); };
  }
  std::optional<peiboard::gdb::Stub> stub;
  if (gdb_port) {
    auto client = peiboard::gdb::wait_for_debugger(*gdb_port, std::cerr);
    if (!client) {
      complain(client.error().message);
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
  if (result.fault) return kFailed;
  return result.not_dispatched ? kNotDispatched : kDone;
}

using Clock = std::chrono::steady_clock;
double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Boots each scenario file on one board, reset between files, and compares the run with the
// file's [expect]. A file that cannot be read or checked is one failed entry; the rest still
// run. Exit 2 when any file could not be checked, else 1 when any differs.
int check(const ImagePaths& paths, const std::vector<std::string>& scenarios, bool json,
          const std::string& junit) {
  using Verdict = peiboard::CheckEntry::Verdict;
  std::string hint;
  auto module = load_module(paths, &hint);
  if (!module) return kBadInput;
  const auto named = peiboard::Module::create(std::move(module->image));
  std::vector<peiboard::CheckEntry> entries;
  std::unique_ptr<Board> board;
  for (const auto& path : scenarios) {
    const auto start = Clock::now();
    peiboard::CheckEntry& entry = entries.emplace_back();
    entry.path = path;
    auto error = [&](std::string why) {
      entry.verdict = Verdict::kError;
      entry.error = std::move(why);
    };
    auto scenario = peiboard::load_scenario_file(path);
    if (!scenario) {
      error(scenario.error().to_string());
    } else if (entry.name = scenario->name; !scenario->expect.any()) {
      error(path + ": no [expect] to check");
    } else if (!board) {
      auto made = Board::create(*scenario, named, {.depex = module->depex});
      if (made) board = std::move(made).value();
      if (!made) error(path + ": " + board_error(made.error(), hint));
    } else if (auto reset = board->reset(*scenario); !reset) {
      board.reset();  // a board that could not take the scenario is built anew for the next
      error(path + ": " + board_error(reset.error(), hint));
    }
    if (entry.verdict != Verdict::kError) {
      // A faulting boot is replayed with exact EIP, so the fault names its instruction.
      const auto result = board->boot_exact();
      entry.differences = peiboard::boot_verdict(scenario->expect, *board, result);
      if (!entry.differences.empty()) entry.verdict = Verdict::kFailed;
    }
    entry.seconds = since(start);
  }
  if (!junit.empty()) {
    if (auto saved = peiboard::write_output_file(junit, peiboard::check_junit(entries)); !saved) {
      complain(saved.error().message);
      return kBadInput;
    }
  }
  errno = 0;
  if (json) {
    std::cout << peiboard::check_json(entries, paths.image).dump(2) << "\n";
  } else {
    std::cout << peiboard::check_text(entries);
  }
  if (!written(std::cout)) return kBadInput;
  int exit = kDone;
  for (const auto& e : entries) {
    if (e.verdict == Verdict::kError) return kBadInput;
    if (e.verdict == Verdict::kFailed) exit = kFailed;
  }
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

// Boots `runs` times: on one board reset between boots, or (fresh) on a new board and
// engine each time, as a single `peiboard run` does. The run's trace is not kept: nothing
// shows it.
peiboard::Expected<BenchFigures> bench_boots(const Scenario& scenario,
                                             const std::shared_ptr<const peiboard::Module>& module,
                                             int runs, bool fresh) {
  BenchFigures f;
  std::unique_ptr<Board> board;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    if (fresh || !board) {
      board.reset();
      auto made = Board::create(scenario, module);
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
  const auto module = peiboard::Module::create(std::move(*image));
  // A boot that stops is the scenario's doing: the message names its file.
  const std::string named = scenario_path ? *scenario_path : std::string("the default board");
  auto reused = bench_boots(*scenario, module, runs, false);
  if (!reused) {
    complain(named + ": " + reused.error().message);
    return kFailed;
  }
  std::cout << bench_line("reused", *reused) << "\n";
  if (fresh) {
    auto each = bench_boots(*scenario, module, runs, true);
    if (!each) {
      complain(named + ": " + each.error().message);
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
  auto map = peiboard::load_debug_file(debug_file_of(paths), *image);
  if (!map) {
    complain(map.error().message);
    return kBadInput;
  }
  const auto module = peiboard::Module::create(std::move(*image), std::move(*map));
  auto cov = peiboard::Coverage::create(*module);
  if (!cov) {
    complain(cov.error().message);
    return kBadInput;
  }
  auto boots = peiboard::boot_for_coverage(scenarios, module, *cov);
  if (!boots) {
    complain(boots.error().message);
    return kBadInput;
  }
  int exit = kDone;
  // The verdict `check` gives: a scenario's [expect], or without one, how the run ended.
  for (size_t i = 0; i < boots->size(); ++i) {
    const auto& differences = (*boots)[i].differences;
    std::cout << (differences.empty() ? "ok    " : "FAIL  ")
              << peiboard::printable(scenario_paths[i]) << "\n";
    for (const auto& d : differences) std::cout << "      " << d << "\n";
    if (!differences.empty()) exit = kFailed;
  }
  if (auto saved =
          peiboard::write_output_file(lcov_path, cov->lcov("peiboard_coverage", source_root));
      !saved) {
    complain(saved.error().message);
    return kBadInput;
  }
  std::cout << peiboard::coverage_totals(cov->summary()) << "\n";
  return written(std::cout) ? exit : kBadInput;
}

int fuzz(const ImagePaths& paths, peiboard::fuzz::FuzzOptions options, const std::string& lcov,
         const std::string& source_root, bool json) {
  auto image = load_image(paths);
  if (!image) return kBadInput;
  // The tracefile needs the debug file; without --lcov one that is there still tells which
  // routines the compiler only inlined, and one that does not describe the image is left out.
  std::optional<peiboard::SourceMap> debug;
  std::optional<peiboard::fuzz::LcovOutput> coverage;
  if (!lcov.empty()) {
    auto map = peiboard::load_debug_file(debug_file_of(paths), *image);
    if (!map) {
      complain(map.error().message);
      return kBadInput;
    }
    debug = std::move(*map);
    coverage = {lcov, source_root};
  } else if (auto source = load_source(paths, *image); source && *source) {
    debug = std::move(*source).value();
  }
  return peiboard::fuzz::fuzz_command(peiboard::Module::create(std::move(*image), std::move(debug)),
                                      std::move(options), std::cout, std::cerr,
                                      isatty(STDERR_FILENO) != 0, coverage, json);
}

// Inspects the input in whatever form, damaged or not: the tree of its parts, what is broken
// in them, and the module image's names from its link map or debug file. Exit 1 when any part
// is broken, 2 when the input (or a map or debug file named) cannot be read.
int describe_image(const ImagePaths& paths, bool json) {
  auto bytes = peiboard::read_input_file(paths.image, PeImage::kMaxFileSize, "image");
  if (!bytes) {
    complain(bytes.error().message);
    return kBadInput;
  }
  peiboard::ImageView view{.path = paths.image, .inspection = peiboard::inspect(*bytes)};
  if (const auto& at = view.inspection.image) {
    const auto first = bytes->begin() + static_cast<std::ptrdiff_t>(at->first);
    auto image = PeImage::parse(
        std::vector<uint8_t>(first, first + static_cast<std::ptrdiff_t>(at->second)));
    if (image) view.image = std::move(image).value();
  }
  if (view.image) {
    if (const auto map = map_of(paths)) {
      auto text = peiboard::read_input_file(*map, PeImage::kMaxFileSize, "link map");
      if (!text) {
        std::cerr << "peiboard: " << text.error().message << "\n";
        return kBadInput;
      }
      auto names = peiboard::parse_link_map(std::string(text->begin(), text->end()), map->string());
      if (!names) {
        std::cerr << "peiboard: " << names.error().message << "\n";
        return kBadInput;
      }
      view.image->attach_map(*names);
      view.names_from = "link map " + map->string();
    } else {
      const auto debug_file = debug_file_of(paths);
      std::error_code ignored;
      if (!paths.debug_file.empty() || std::filesystem::is_regular_file(debug_file, ignored)) {
        auto names = peiboard::names_from_debug_file(debug_file, *view.image);
        if (names) {
          view.image->attach_map(*names);
          view.names_from = "debug file " + debug_file.string();
        } else if (!paths.debug_file.empty()) {
          std::cerr << "peiboard: " << names.error().message << "\n";
          return kBadInput;
        }
      }
    }
    view.names_hint = peiboard::names_hint(module_name(view.inspection.root, paths.image));
  }
  errno = 0;
  if (json) {
    std::cout << peiboard::image_json(view).dump(2) << "\n";
  } else {
    std::cout << peiboard::image_text(view);
  }
  if (!written(std::cout)) return kBadInput;
  return view.inspection.root.broken() ? kFailed : kDone;
}

// An empty value names no file, folder or port: refused rather than taken for "not given".
CLI::Validator not_empty() {
  return CLI::Validator(
      [](std::string& value) {
        return value.empty() ? std::string("an empty value names nothing") : std::string();
      },
      "", "not empty");
}

// Seconds to run: a finite number above zero (not nan, inf, negative or empty).
CLI::Validator seconds() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        size_t used = 0;
        double seconds = 0;
        try {
          seconds = std::stod(value, &used);
        } catch (const std::exception&) {
          used = 0;
        }
        if (value.empty() || used != value.size() || !std::isfinite(seconds) || seconds <= 0 ||
            seconds > 1e9) {
          return "'" + value + "' is not a number of seconds above 0";
        }
        return {};
      },
      "SECONDS", "seconds");
}

// Everything the command line can say, filled in by the parser.
struct CommandLine {
  ImagePaths paths;
  std::optional<std::string> scenario;
  std::vector<std::string> scenarios;
  std::string source_root = PEIBOARD_FIRMWARE_DIR;
  // run
  bool json = false;
  std::string trace;
  CLI::Option* trace_option = nullptr;
  std::optional<uint16_t> gdb_port;
  // check
  bool check_json = false;
  std::string junit;
  // bench
  int runs = 2000;
  bool fresh = false;
  // fuzz
  peiboard::fuzz::FuzzOptions fuzz_options;
  std::string fuzz_mode = "platform";
  std::string fuzz_out = "fuzz-findings";
  std::string fuzz_lcov;
  std::string fuzz_corpus;
  std::vector<std::string> fuzz_seeds;
  bool fuzz_json = false;
  // coverage
  std::string lcov_path;
  // image
  std::optional<std::string> image_path;
  bool image_json = false;
};

// The options every subcommand shares: which image, its map and its debug file.
void add_image_options(CLI::App& app, CommandLine& cl) {
  if (const char* env = std::getenv("PEIBOARD_IMAGE")) cl.paths.image = env;
  app.add_option("--image", cl.paths.image,
                 "module image: PE32 (.efi), TE, FFS file or firmware volume; its link map "
                 "sits beside it")
      ->capture_default_str()
      ->check(not_empty());
  app.add_option("--map", cl.paths.map, "link map of the image, if not beside it")
      ->check(not_empty());
  app.add_option("--debug-file", cl.paths.debug_file,
                 "the module's debug file for source lines (default: the .debug.elf beside the "
                 "image, when there)")
      ->check(not_empty());
}

CLI::App* add_run_command(CLI::App& app, CommandLine& cl) {
  auto* run_cmd = app.add_subcommand("run", "one boot of the module on a scenario");
  run_cmd->add_option("scenario", cl.scenario,
                      "scenario file (default: the built-in default board)");
  run_cmd->add_flag("--json", cl.json, "print the run as one JSON object");
  // A flag that may carry a value: `--trace` alone is the calls trace and never takes the
  // scenario that follows it; the instruction trace is `--trace=insn`.
  cl.trace_option =
      run_cmd
          ->add_flag("--trace{calls}", cl.trace,
                     "add every register access and PPI/service call; --trace=stack also "
                     "names the calls that led to each; --trace=insn also lists every "
                     "instruction executed (up to 200,000)")
          ->check(CLI::IsMember({"calls", "stack", "insn"}));
  run_cmd
      ->add_option("--gdb", cl.gdb_port,
                   "wait for GDB on 127.0.0.1:PORT (0: a free port, printed) and serve it the "
                   "guest, stopped before the entry point; the report follows the run")
      ->option_text("PORT")
      ->check(not_empty());
  run_cmd->footer(
      "Debugging: peiboard run --gdb 1234, then in another terminal\n"
      "  gdb-multiarch -ex 'file build/firmware/QuarnelPeiSystemBoardOverride.debug.elf' \\\n"
      "                -ex 'target remote 127.0.0.1:1234'\n"
      "Breakpoints, steps, registers and RAM as usual; Ctrl-C stops the guest, detach or quit "
      "lets the run finish.");
  return run_cmd;
}

CLI::App* add_check_command(CLI::App& app, CommandLine& cl) {
  auto* check_cmd = app.add_subcommand("check", "run scenarios and compare with their [expect]");
  check_cmd->add_option("scenarios", cl.scenarios, "scenario files")->required();
  check_cmd->add_flag("--json", cl.check_json, "print the results as one JSON object");
  check_cmd->add_option("--junit", cl.junit, "also write the results as JUnit XML to FILE")
      ->option_text("FILE")
      ->check(not_empty());
  return check_cmd;
}

CLI::App* add_bench_command(CLI::App& app, CommandLine& cl) {
  auto* bench_cmd = app.add_subcommand("bench", "boot a board repeatedly and time it");
  bench_cmd->add_option("scenario", cl.scenario, "scenario file (default: the default board)");
  bench_cmd->add_option("--runs", cl.runs, "number of boots")
      ->check(CLI::Range(1, 10000000))
      ->capture_default_str();
  bench_cmd->add_flag("--fresh", cl.fresh,
                      "also time a new board and engine per boot, for comparison");
  return bench_cmd;
}

CLI::App* add_fuzz_command(CLI::App& app, CommandLine& cl) {
  auto& options = cl.fuzz_options;
  options.jobs = std::max(1u, std::thread::hardware_concurrency());
  auto* fuzz_cmd =
      app.add_subcommand("fuzz", "boot generated platforms, coverage-guided; save what breaks");
  fuzz_cmd->add_option("--mode", cl.fuzz_mode, "platform: within the contracts; hostile: also not")
      ->check(CLI::IsMember({"platform", "hostile"}))
      ->capture_default_str();
  auto* fuzz_runs = fuzz_cmd->add_option("--runs", options.runs, "platforms to boot")
                        ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 40));
  fuzz_cmd->add_option("--time", options.seconds, "seconds to run instead")
      ->check(seconds())
      ->excludes(fuzz_runs);
  fuzz_cmd->add_option("--seed", options.seed, "names the campaign")->capture_default_str();
  fuzz_cmd->add_option("--jobs", options.jobs, "boards booting at once (threads)")
      ->check(CLI::Range(1u, 256u))
      ->capture_default_str();
  fuzz_cmd->add_option("--out", cl.fuzz_out, "folder for the findings")
      ->capture_default_str()
      ->check(not_empty());
  fuzz_cmd->add_option("--lcov", cl.fuzz_lcov, "write the source lines reached as an lcov file")
      ->check(not_empty());
  fuzz_cmd->add_option("--sources", cl.source_root, "firmware source tree the tracefile names")
      ->capture_default_str()
      ->check(not_empty());
  fuzz_cmd
      ->add_option("--corpus", cl.fuzz_corpus,
                   "corpus folder: its .toml files are booted first; each platform that adds "
                   "coverage is saved there")
      ->check(not_empty());
  fuzz_cmd
      ->add_option("--seed-scenarios", cl.fuzz_seeds,
                   "scenario files booted first, as the first platforms to vary")
      ->check(not_empty());
  fuzz_cmd->add_flag("--json", cl.fuzz_json, "print the summary as one JSON object");
  return fuzz_cmd;
}

CLI::App* add_coverage_command(CLI::App& app, CommandLine& cl) {
  auto* coverage_cmd = app.add_subcommand(
      "coverage", "boot scenarios and write the lcov tracefile of the module's lines and branches");
  coverage_cmd->add_option("scenarios", cl.scenarios, "scenario files")->required();
  coverage_cmd->add_option("--lcov", cl.lcov_path, "tracefile to write")
      ->required()
      ->check(not_empty());
  coverage_cmd->add_option("--sources", cl.source_root, "firmware source tree the tracefile names")
      ->capture_default_str()
      ->check(not_empty());
  return coverage_cmd;
}

CLI::App* add_image_command(CLI::App& app, CommandLine& cl) {
  auto* image_cmd = app.add_subcommand(
      "image", "inspect the module in any form, damaged or not: its parts, what is broken, names");
  image_cmd->add_option("path", cl.image_path, "image file (default: the built one)")
      ->check(not_empty());
  image_cmd->add_flag("--json", cl.image_json, "print the inspection as one JSON object");
  return image_cmd;
}

// The fuzz command's options as the fuzzer takes them, with the command lines its findings
// name for running the campaign again and for replaying one.
int run_fuzz(CommandLine& cl) {
  auto& options = cl.fuzz_options;
  options.mode =
      cl.fuzz_mode == "hostile" ? peiboard::fuzz::Mode::kHostile : peiboard::fuzz::Mode::kPlatform;
  options.out = cl.fuzz_out;
  if (!cl.fuzz_corpus.empty()) options.corpus = cl.fuzz_corpus;
  options.seed_files.assign(cl.fuzz_seeds.begin(), cl.fuzz_seeds.end());
  // Written into the findings' comments: escaped, so that no line break of a path starts a
  // line of TOML there.
  const std::string image = cl.paths.image == PEIBOARD_IMAGE
                                ? std::string()
                                : " --image " + peiboard::printable(cl.paths.image);
  options.command = "peiboard" + image + " fuzz --mode " + cl.fuzz_mode + " --seed " +
                    std::to_string(options.seed);
  options.reproduce = "peiboard" + image + " run";
  return fuzz(cl.paths, std::move(options), cl.fuzz_lcov, cl.source_root, cl.fuzz_json);
}

}  // namespace

int main(int argc, char** argv) {
  // A write to a reader that went away fails with EPIPE, which written() turns into a quiet
  // end; the GDB stub's socket sees the same as an error of its own.
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App app{"peiboard: boots the board's PEI module image on an emulated board"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("peiboard ") + PEIBOARD_VERSION + ", CPU engine " +
                                        peiboard::Machine::engine_version());
  app.option_defaults()->always_capture_default();
  // Every error the command prints starts with its name, the parser's too.
  app.failure_message([](const CLI::App* failed, const CLI::Error& e) {
    return "peiboard: " + CLI::FailureMessage::simple(failed, e);
  });
  app.footer(
      "Exit status: 0 done; 1 a check failed, the module faulted, hung or halted, or image found\n"
      "a broken part; 2 bad input or usage; 3 an internal error (a defect of peiboard, or the\n"
      "host out of memory); 4 the module was not dispatched (its dependency expression).");
  app.fallthrough();  // --image and --map may follow the subcommand too
  CommandLine cl;
  add_image_options(app, cl);
  auto* run_cmd = add_run_command(app, cl);
  auto* check_cmd = add_check_command(app, cl);
  auto* bench_cmd = add_bench_command(app, cl);
  auto* fuzz_cmd = add_fuzz_command(app, cl);
  auto* coverage_cmd = add_coverage_command(app, cl);
  add_image_command(app, cl);

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
      return run(cl.paths, cl.scenario, cl.json, cl.trace_option->count() > 0, cl.trace == "insn",
                 cl.trace == "stack", cl.gdb_port);
    }
    if (*check_cmd) return check(cl.paths, cl.scenarios, cl.check_json, cl.junit);
    if (*bench_cmd) return bench(cl.paths, cl.scenario, cl.runs, cl.fresh);
    if (*fuzz_cmd) return run_fuzz(cl);
    if (*coverage_cmd) return coverage(cl.paths, cl.scenarios, cl.lcov_path, cl.source_root);
    if (cl.image_path) cl.paths.image = *cl.image_path;
    return describe_image(cl.paths, cl.image_json);
  } catch (const std::exception& e) {
    complain(std::string("internal error: ") + e.what());
    return kInternal;
  }
}
