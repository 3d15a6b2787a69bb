// A fresh emulated board per test, around the real module image the build produced.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "coverage_run.h"
#include "pe_image.h"
#include "scenario_loader.h"

namespace peiboard::testing {

// The image is parsed once; every board loads its own copy into its own machine.
inline const PeImage& module_image() {
  static const PeImage image = [] {
    auto loaded = PeImage::load(PEIBOARD_IMAGE, std::filesystem::path(PEIBOARD_MAP));
    if (!loaded) throw std::runtime_error(loaded.error().message);
    return std::move(loaded).value();
  }();
  return image;
}

// The same image with its debug file, as `peiboard run` builds it beside the image.
inline const std::shared_ptr<const Module>& module_with_debug_file() {
  static const std::shared_ptr<const Module> module = [] {
    auto debug = load_debug_file(PEIBOARD_DEBUG_ELF, module_image());
    if (!debug) throw std::runtime_error(debug.error().message);
    return Module::create(module_image(), std::move(debug).value());
  }();
  return module;
}

// The module's code the tests run, for `make coverage`. When PEIBOARD_COVERAGE_DIR names a
// directory, every test that made a board writes there the lcov tracefile of the code its
// boards ran, one file per test named after it: test programs may run whole or one test per
// process, in parallel, as CTest runs them, and no two tests share a file.
inline const char* coverage_directory() {
  const char* dir = std::getenv("PEIBOARD_COVERAGE_DIR");
  return dir != nullptr && *dir != '\0' ? dir : nullptr;
}

// Coverage with nothing run yet, made once per test program.
inline const Coverage& empty_module_coverage() {
  static const Coverage empty = [] {
    auto map = SourceMap::load(PEIBOARD_DEBUG_ELF);
    if (!map) throw std::runtime_error(map.error().message);
    auto coverage = Coverage::create(*map);
    if (!coverage) throw std::runtime_error(coverage.error().message);
    return std::move(coverage).value();
  }();
  return empty;
}

class BoardTest : public ::testing::Test {
 protected:
  // Builds a board from `scenario` (edit it first) and the given options, around the image
  // alone or the given module; tests always have scratch memory for the buffers they hand to
  // routines.
  Board& make_board(BoardOptions options = {}, std::shared_ptr<const Module> module = {}) {
    options.scratch = true;
    recorder_.reset();
    auto made = module ? Board::create(scenario, std::move(module), options)
                       : Board::create(scenario, module_image(), options);
    if (!made) throw std::runtime_error(made.error().message);
    board_ = std::move(made).value();
    if (coverage_directory() != nullptr) {
      if (!coverage_) coverage_ = empty_module_coverage();
      auto recorder = CoverageRecorder::create(board_->machine(), *coverage_);
      if (!recorder) throw std::runtime_error(recorder.error().message);
      recorder_ = std::move(recorder).value();
      board_->machine().set_block_observer(&*recorder_);
    }
    return *board_;
  }

  void TearDown() override {
    if (!coverage_) return;
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "__" + test->name();
    std::replace_if(
        name.begin(), name.end(),
        [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    const auto path = std::filesystem::path(coverage_directory()) / (name + ".info");
    std::ofstream out(path);
    out << coverage_->lcov(name, PEIBOARD_FIRMWARE_DIR);
    out.close();
    EXPECT_TRUE(out) << "cannot write " << path;
  }
  Board& board() {
    if (!board_) make_board();
    return *board_;
  }

  // Calls a routine that must return normally and gives its EAX.
  uint32_t call(std::string_view routine, std::vector<uint32_t> args = {}) {
    const CallResult r = board().call(routine, std::move(args));
    EXPECT_TRUE(r.returned()) << routine << " stopped: " << r.stop.fault.kind << " at eip 0x"
                              << std::hex << r.stop.fault.eip;
    return r.eax;
  }
  uint64_t call64(std::string_view routine, std::vector<uint32_t> args = {}) {
    const CallResult r = board().call(routine, std::move(args));
    EXPECT_TRUE(r.returned()) << routine << " stopped: " << r.stop.fault.kind;
    return r.value64();
  }

  std::vector<std::string> prints() {
    std::vector<std::string> out;
    for (const auto& e : board().log().events) {
      if (e.kind == Event::Kind::kPrint) out.push_back(e.text);
    }
    return out;
  }
  std::vector<uint32_t> print_levels() {
    std::vector<uint32_t> out;
    for (const auto& e : board().log().events) {
      if (e.kind == Event::Kind::kPrint) out.push_back(e.level);
    }
    return out;
  }
  // Every assertion as "file:line:text".
  std::vector<std::string> asserts() {
    std::vector<std::string> out;
    for (const auto& e : board().log().events) {
      if (e.kind == Event::Kind::kAssert) {
        out.push_back(e.file + ":" + std::to_string(e.line) + ":" + e.text);
      }
    }
    return out;
  }
  std::vector<uint32_t> assert_lines() {
    std::vector<uint32_t> out;
    for (const auto& e : board().log().events) {
      if (e.kind == Event::Kind::kAssert) out.push_back(e.line);
    }
    return out;
  }
  // Register accesses (not calls) in order, optionally only those at one address.
  std::vector<TraceRecord> accesses() {
    std::vector<TraceRecord> out;
    for (const auto& t : board().log().trace) {
      if (t.kind == TraceRecord::Kind::kRead || t.kind == TraceRecord::Kind::kWrite) {
        out.push_back(t);
      }
    }
    return out;
  }
  size_t accesses_at(uint32_t address) {
    const auto all = accesses();
    return static_cast<size_t>(std::count_if(
        all.begin(), all.end(), [&](const TraceRecord& t) { return t.address == address; }));
  }
  // Service and PPI calls whose description starts with `what`.
  size_t calls_to(const std::string& what) {
    return static_cast<size_t>(std::count_if(
        board().log().trace.begin(), board().log().trace.end(), [&](const TraceRecord& t) {
          return (t.kind == TraceRecord::Kind::kService || t.kind == TraceRecord::Kind::kPpi) &&
                 t.what.rfind(what, 0) == 0;
        }));
  }
  void clear_log() { board().log().clear(); }

  Machine& mem() { return board().machine(); }

  Scenario scenario = default_scenario();
  std::unique_ptr<Board> board_;
  std::optional<Coverage> coverage_;          // when coverage_directory() is set
  std::optional<CoverageRecorder> recorder_;  // of board_'s machine; goes before board_
};

inline constexpr uint32_t kError = 0x80000000;
inline constexpr uint32_t kInfo = 0x40;
inline constexpr uint32_t kWarn = 0x2;

}  // namespace peiboard::testing
