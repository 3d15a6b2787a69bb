#include "scenario.h"

#include <toml++/toml.h>

#include <cstdio>
#include <cstdlib>

#include "files.h"
#include "format.h"
#include "guid.h"
#include "memory_map.h"
#include "scenario_loader.h"
#include "scenario_toml.h"

namespace peiboard {

bool ExpectConfig::any() const {
  return dispatched || entry_status || notify_statuses || slot15_called || fault ||
         !prints_contain.empty() || !prints_absent.empty() || assert_lines || sata || ssata ||
         pcie_rp || pcie_direct || acpi_base || acpi_control;
}

const char* order_name(SystemBoardOrder order) {
  return order == SystemBoardOrder::kBeforeEntry ? "before-entry" : "after-entry";
}

std::string ScenarioError::to_string() const {
  std::string text = file;
  if (line > 0) text += ":" + std::to_string(line);
  if (!text.empty()) text += ": ";
  if (!key.empty()) text += "key '" + key + "': ";
  return text + message;
}

namespace {

using scenario_toml::Rejection;

ScenarioError error_at(std::string file, const toml::source_position& where, std::string key,
                       std::string message) {
  return ScenarioError{std::move(file), static_cast<int>(where.line),
                       static_cast<int>(where.column), std::move(key), std::move(message)};
}

}  // namespace

Result<Scenario> overlay_scenario(const Scenario& base, std::string_view text,
                                  std::string source_name) {
  toml::table root;
#if TOML_EXCEPTIONS
  try {
    root = toml::parse(text, std::string_view(source_name));
  } catch (const toml::parse_error& e) {
    return error_at(std::move(source_name), e.source().begin, "", std::string(e.description()));
  }
#else
  toml::parse_result parsed = toml::parse(text, std::string_view(source_name));
  if (!parsed) {
    const toml::parse_error& e = parsed.error();
    return error_at(std::move(source_name), e.source().begin, "", std::string(e.description()));
  }
  root = std::move(parsed).table();
#endif
  Scenario scenario = base;
  scenario.source = source_name;
  try {
    scenario_toml::read_scenario(root, scenario);
  } catch (const Rejection& r) {
    return error_at(std::move(source_name), r.where, r.key, r.message);
  }
  if (auto layout = check_layout(scenario); !layout) {
    // Point at the key in this file when the file gave it; else at the file.
    ScenarioError e = layout.error();
    e.file = std::move(source_name);
    if (const toml::node* node = root.at_path(e.key).node()) {
      e.line = static_cast<int>(node->source().begin.line);
      e.column = static_cast<int>(node->source().begin.column);
    }
    return e;
  }
  return scenario;
}

Result<void> check_layout(const Scenario& s) {
  auto error = [&](std::string key, std::string message) {
    return ScenarioError{s.source, 0, 0, std::move(key), std::move(message)};
  };
  const uint64_t ecam = s.pch.ecam_base;
  if (ecam < kEcamLowest || ecam > kEcamHighest) {
    return error("pch.ecam_base",
                 "expected a 256 MiB boundary from " + hex(kEcamLowest) + " to " +
                     hex(kEcamHighest) +
                     " (the window must not overlap the board's RAM, the PCR window or flash), "
                     "got " +
                     hex(ecam));
  }
  const uint64_t pwrm = s.pmc.pwrm_base & hw::kPwrmBaseMask;
  if (s.pmc.present && pwrm != 0) {
    const struct {
      uint64_t base, size;
      const char* name;
    } taken[] = {{0, ram::kLimit, "the board's RAM (below 16 MiB)"},
                 {ram::kTrapBase, ram::kTrapPageSize, "the trap page"},
                 {ecam, hw::kEcamSize, "the configuration window (pch.ecam_base)"},
                 {hw::kPcrBase, hw::kPcrSize, "the PCR window"},
                 {ram::kFlashBase, ram::kFlashSize, "the flash window"}};
    for (const auto& t : taken) {
      if (pwrm < t.base + t.size && t.base < pwrm + hw::kPwrmSize) {
        return error("pmc.pwrm_base",
                     "the 64 KiB PWRM block at " + hex(pwrm) + " overlaps " + t.name);
      }
    }
  }
  // The HOB list: the handoff table, the two HOBs the board makes, the others, the end.
  constexpr size_t kPlatformInfo = hob::kGuidHeaderSize + hob::kPlatformInfoData;
  constexpr size_t kMeFw = hob::kGuidHeaderSize + hob::kMeFwData;
  size_t hobs = hob::kHandoffSize + hob::kEndSize + (s.platform_info.present ? kPlatformInfo : 0) +
                (s.me_fw.present ? kMeFw : 0);
  for (size_t i = 0; i < s.guid_hobs.size(); ++i) {
    hobs += hob::kGuidHeaderSize + s.guid_hobs[i].data.size();
    if (hobs > kHobListCapacity) {
      return error("hob.guid[" + std::to_string(i) + "]", "the HOB list would take " +
                                                              std::to_string(hobs) +
                                                              " bytes with this HOB, "
                                                              "more than the board's " +
                                                              std::to_string(kHobListCapacity));
    }
  }
  if (s.pcd.mcfg.bases.size() > kMaxMcfgEntries) {
    return error("pcd.mcfg.bases", "expected at most " + std::to_string(kMaxMcfgEntries) +
                                       " entries, got " + std::to_string(s.pcd.mcfg.bases.size()));
  }
  return {};
}

Scenario default_scenario() {
  static const Scenario board = [] {
    Result<Scenario> parsed = overlay_scenario(Scenario{}, default_scenario_text(), "<default>");
    if (!parsed) {
      std::fprintf(stderr, "peiboard: the built-in default board is invalid: %s\n",
                   parsed.error().to_string().c_str());
      std::abort();
    }
    return std::move(parsed).value();
  }();
  return board;
}

Result<Scenario> parse_scenario(std::string_view text, std::string source_name) {
  // A file inherits the default board's inputs, not what the default board expects of its
  // own run: those expectations would be wrong for any other board.
  Scenario base = default_scenario();
  base.name = std::filesystem::path(source_name).stem().string();
  base.expect = ExpectConfig{};
  return overlay_scenario(base, text, std::move(source_name));
}

Result<Scenario> load_scenario_file(const std::filesystem::path& path) {
  auto bytes = read_input_file(path, kMaxScenarioFileSize, "scenario file");
  if (!bytes) {
    // The message names the file already.
    std::string message = bytes.error().message;
    if (const std::string prefix = path.string() + ": "; message.starts_with(prefix)) {
      message.erase(0, prefix.size());
    }
    return ScenarioError{path.string(), 0, 0, "", message};
  }
  const std::string text(bytes->begin(), bytes->end());
  return parse_scenario(text, path.string());
}

}  // namespace peiboard
