// A fresh emulated board per test, around the real module image the build produced.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
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

class BoardTest : public ::testing::Test {
 protected:
  // Builds a board from `scenario` (edit it first) and the given options; tests always
  // have scratch memory for the buffers they hand to routines.
  Board& make_board(BoardOptions options = {}) {
    options.scratch = true;
    auto made = Board::create(scenario, module_image(), options);
    if (!made) throw std::runtime_error(made.error().message);
    board_ = std::move(made).value();
    return *board_;
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
};

inline constexpr uint32_t kError = 0x80000000;
inline constexpr uint32_t kInfo = 0x40;
inline constexpr uint32_t kWarn = 0x2;

}  // namespace peiboard::testing
