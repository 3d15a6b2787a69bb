// The platform fuzzer as a libFuzzer target, so libFuzzer (its mutation, corpus, -jobs and
// -fork), the fleets built on its interface and AFL++'s driver can run it on many machines.
//
// An input is a platform: its first byte picks the mode (low bit: 0 platform, 1 hostile;
// PEIBOARD_FUZZ_MODE=platform|hostile fixes it), the rest drive the random choices of the
// platform space, and every byte string decodes to a platform. The module's blocks and edges
// go to libFuzzer through its extra counters. A finding is minimized and saved as the same
// scenario file `peiboard fuzz` writes (into PEIBOARD_FUZZ_OUT, else the current folder), then
// the target aborts so libFuzzer keeps the input as a crash.
//
// The image: PEIBOARD_IMAGE (default: the module this build made), its link map
// PEIBOARD_MAP (default: the image's path with the extension .map, when it is there).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "board.h"
#include "files.h"
#include "findings.h"
#include "fuzzer.h"
#include "pe_image.h"
#include "platforms.h"
#include "random.h"
#include "scenario_loader.h"
#include "scenario_writer.h"

namespace peiboard::fuzz {
namespace {

// libFuzzer clears and scans every counter for every input, so the map is kept small: blocks by
// offset modulo 16 KiB (the module's code is smaller), edges by the campaign's slot folded to 64
// Ki.
constexpr unsigned kBlockBits = 14;
constexpr unsigned kEdgeBits = 16;
constexpr size_t kBlockSlots = size_t{1} << kBlockBits;
constexpr size_t kEdgeSlots = size_t{1} << kEdgeBits;
static_assert(kEdgeBits <= CoverageMap::kEdgeBits);

// libFuzzer reads, clears and compares these around every input: module blocks by offset, then
// edges by the campaign's edge slot. Its interface is a section of the program, hence a global.
__attribute__((section("__libfuzzer_extra_counters"), used))
uint8_t g_counters[kBlockSlots + kEdgeSlots];

// Counts each module block and edge of a boot into the extra counters, saturating.
class CounterFeed final : public BlockObserver {
 public:
  CounterFeed(uint32_t image_base, uint32_t image_size)
      : image_base_(image_base), image_size_(image_size) {}
  void start() { previous_ = kNoBlock; }
  void on_block(uint32_t address, uint32_t) override {
    const uint32_t offset = address - image_base_;
    if (offset >= image_size_) return;  // not module code
    bump(g_counters[offset % kBlockSlots]);
    bump(g_counters[kBlockSlots + (BootCoverage::edge_slot(previous_, offset) >>
                                   (CoverageMap::kEdgeBits - kEdgeBits))]);
    previous_ = offset;
  }

 private:
  static constexpr uint32_t kNoBlock = 0xFFFFFFFF;
  static void bump(uint8_t& counter) { counter = static_cast<uint8_t>(counter + (counter != 255)); }
  uint32_t image_base_, image_size_;
  uint32_t previous_ = kNoBlock;
};

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "peiboard_libfuzzer: %s\n", message.c_str());
  std::exit(2);
}

std::string env_or(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::string(value) : fallback;
}

// Everything that lives from the first input to the last: the image, a board reused for every
// boot, the two platform spaces.
struct Target {
  std::unique_ptr<PeImage> image;
  std::unique_ptr<Board> board;
  std::unique_ptr<CounterFeed> feed;
  PlatformSpace platform{Mode::kPlatform};
  PlatformSpace hostile{Mode::kHostile};
  std::optional<Mode> mode;  // fixed by the environment
  std::filesystem::path out;
};

std::unique_ptr<Target> make_target() {
  auto t = std::make_unique<Target>();
  const std::filesystem::path image = env_or("PEIBOARD_IMAGE", PEIBOARD_DEFAULT_IMAGE);
  std::optional<std::filesystem::path> map;
  if (const char* given = std::getenv("PEIBOARD_MAP"); given && *given) {
    map = given;
  } else if (auto beside = std::filesystem::path(image).replace_extension(".map");
             std::filesystem::exists(beside)) {
    map = beside;
  }
  auto loaded = PeImage::load(image, map);
  if (!loaded) fail(loaded.error().message);
  t->image = std::make_unique<PeImage>(std::move(loaded).value());
  auto board = Board::create(default_scenario(), *t->image);
  if (!board) fail(board.error().message);
  t->board = std::move(board).value();
  t->board->log().tracing = false;
  t->feed = std::make_unique<CounterFeed>(t->image->image_base(), t->image->size_of_image());
  const std::string mode = env_or("PEIBOARD_FUZZ_MODE", "");
  if (mode == "platform") {
    t->mode = Mode::kPlatform;
  } else if (mode == "hostile") {
    t->mode = Mode::kHostile;
  } else if (!mode.empty()) {
    fail("PEIBOARD_FUZZ_MODE is " + mode + ", not platform or hostile");
  }
  t->out = env_or("PEIBOARD_FUZZ_OUT", ".");
  return t;
}

Target& target() {
  static const std::unique_ptr<Target> t = make_target();
  return *t;
}

// Minimizes and saves the finding as `peiboard fuzz` does: a campaign of no new platforms whose
// one seed is this platform's scenario file.
void save_finding(Target& t, const Scenario& scenario, Mode mode, const Cause& cause) {
  std::fprintf(stderr, "peiboard_libfuzzer: %s mode: %s\n", mode_name(mode), cause.text().c_str());
  auto text = write_scenario(scenario);
  if (!text) fail("cannot write the platform: " + text.error().message);
  const auto input = std::filesystem::temp_directory_path() /
                     ("peiboard-libfuzzer-" + std::to_string(getpid()) + ".toml");
  std::error_code ignored;
  std::filesystem::remove(input, ignored);
  if (auto made = create_output_file(input, *text); !made) fail(made.error().message);
  FuzzOptions options;
  options.mode = mode;
  options.runs = 0;
  options.out = t.out;
  options.seed_files = {input};
  options.command = "peiboard_libfuzzer";
  auto fuzzer = Fuzzer::create(*t.image, options);
  if (!fuzzer) fail(fuzzer.error().message);
  auto summary = (*fuzzer)->run();
  std::filesystem::remove(input, ignored);
  if (!summary) fail(summary.error().message);
  for (const Finding& f : summary->findings) {
    std::fprintf(stderr, "peiboard_libfuzzer: %s, minimized%s to %s\n", f.report.c_str(),
                 f.saved_before ? " (saved before)" : "", f.file.string().c_str());
  }
  if (summary->findings.empty()) {
    std::fprintf(stderr, "peiboard_libfuzzer: the platform's scenario file does not show it\n");
  }
}

int test_one_input(std::span<const uint8_t> data) {
  Target& t = target();
  const Mode mode =
      t.mode.value_or(!data.empty() && (data[0] & 1) ? Mode::kHostile : Mode::kPlatform);
  const PlatformSpace& space = mode == Mode::kHostile ? t.hostile : t.platform;
  Rng rng = Rng::from_bytes(data.empty() ? data : data.subspan(1));
  const Scenario scenario =
      rng.coin() ? space.mutate(rng, space.base(), nullptr) : space.generate(rng);
  std::optional<Cause> cause;
  try {
    if (!t.board->reset(scenario)) return 0;  // no board takes it: a defect of the space
    t.feed->start();
    t.board->machine().set_block_observer(t.feed.get());
    const RunResult result = t.board->boot();
    t.board->machine().set_block_observer(nullptr);
    cause = finding_of(*t.board, scenario, result, mode);
  } catch (const std::exception& e) {
    cause = Cause{"host error", e.what()};
  }
  if (!cause) return 0;
  save_finding(t, scenario, mode, *cause);
  std::abort();
}

}  // namespace
}  // namespace peiboard::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return peiboard::fuzz::test_one_input(std::span<const uint8_t>(data, size));
}
