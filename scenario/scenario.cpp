#include "scenario.h"

#include <toml++/toml.h>

#include <algorithm>
#include <concepts>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>

#include "files.h"
#include "format.h"
#include "guid.h"
#include "scenario_loader.h"

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

// The reason a key was rejected. Thrown by the readers below and caught in overlay_scenario(), so
// it never leaves this file.
struct Rejection {
  toml::source_position where;
  std::string key;
  std::string message;
};

[[noreturn]] void reject(const toml::source_region& at, std::string key, std::string message) {
  throw Rejection{at.begin, std::move(key), std::move(message)};
}

std::string type_name(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::table:
      return "a table";
    case toml::node_type::array:
      return "a list";
    case toml::node_type::string:
      return "a string";
    case toml::node_type::integer:
      return "an integer";
    case toml::node_type::floating_point:
      return "a float";
    case toml::node_type::boolean:
      return "a boolean";
    case toml::node_type::date:
      return "a date";
    case toml::node_type::time:
      return "a time";
    case toml::node_type::date_time:
      return "a date-time";
    case toml::node_type::none:
      break;
  }
  return "nothing";
}

[[noreturn]] void reject_type(const toml::node& node, const std::string& key,
                              std::string_view expected) {
  reject(node.source(), key, "expected " + std::string(expected) + ", got " + type_name(node));
}

std::string indexed(const std::string& key, size_t index) {
  return key + "[" + std::to_string(index) + "]";
}

// Readers: one per kind of field, each validating type and range and naming `key` when it
// rejects. Reader<T>::plural() is how an error message counts a list of them.
template <class T>
struct Reader;

// Unsigned integer fields: TOML integers from 0 to the field's maximum, decimal or hex.
template <class T>
concept Word = std::unsigned_integral<T> && !std::same_as<T, bool>;

template <Word T>
struct Reader<T> {
  static std::string plural() { return "integers"; }
  static T read(const toml::node& node, const std::string& key) {
    const auto* integer = node.as_integer();
    if (integer == nullptr) reject_type(node, key, "an integer");
    const int64_t value = integer->get();
    constexpr uint64_t kMax = std::numeric_limits<T>::max();
    if (value < 0 || static_cast<uint64_t>(value) > kMax) {
      const bool as_hex =
          (integer->flags() & toml::value_flags::format_as_hexadecimal) != toml::value_flags::none;
      const std::string got =
          as_hex && value >= 0 ? hex(static_cast<uint64_t>(value)) : std::to_string(value);
      const std::string max = sizeof(T) <= 2 ? std::to_string(kMax) : hex(kMax);
      reject(node.source(), key,
             "expected an integer from 0 to " + max + " (" + std::to_string(sizeof(T) * 8) +
                 "-bit field), got " + got);
    }
    return static_cast<T>(value);
  }
};

template <>
struct Reader<bool> {
  static std::string plural() { return "booleans"; }
  static bool read(const toml::node& node, const std::string& key) {
    const auto* boolean = node.as_boolean();
    if (boolean == nullptr) reject_type(node, key, "a boolean (true or false)");
    return boolean->get();
  }
};

template <>
struct Reader<std::string> {
  static std::string plural() { return "strings"; }
  static std::string read(const toml::node& node, const std::string& key) {
    const auto* string = node.as_string();
    if (string == nullptr) reject_type(node, key, "a string");
    return string->get();
  }
};

const toml::array& read_list(const toml::node& node, const std::string& key,
                             const std::string& of) {
  const auto* list = node.as_array();
  if (list == nullptr) reject_type(node, key, "a list of " + of);
  return *list;
}

// A list of exactly N elements.
template <class T, size_t N>
struct Reader<std::array<T, N>> {
  static std::string plural() { return "records of " + std::to_string(N) + " " + noun(); }
  static std::string noun() { return Reader<T>::plural(); }
  static std::array<T, N> read(const toml::node& node, const std::string& key) {
    const std::string what = std::to_string(N) + " " + noun();
    const toml::array& list = read_list(node, key, what);
    if (list.size() != N) {
      reject(node.source(), key, "expected " + what + ", got " + std::to_string(list.size()));
    }
    std::array<T, N> values{};
    for (size_t i = 0; i < N; ++i) values[i] = Reader<T>::read(list[i], indexed(key, i));
    return values;
  }
};

// A list of at most `max` elements; the error points at the first one too many.
template <class T>
std::vector<T> read_vector(const toml::node& node, const std::string& key,
                           size_t max = std::numeric_limits<size_t>::max()) {
  const toml::array& list = read_list(node, key, Reader<T>::plural());
  if (list.size() > max) {
    reject(list[max].source(), key,
           "expected at most " + std::to_string(max) + " " + Reader<T>::plural() + ", got " +
               std::to_string(list.size()));
  }
  std::vector<T> values;
  values.reserve(list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    values.push_back(Reader<T>::read(list[i], indexed(key, i)));
  }
  return values;
}

template <class T>
struct Reader<std::vector<T>> {
  static std::vector<T> read(const toml::node& node, const std::string& key) {
    return read_vector<T>(node, key);
  }
};

// Schema: each table lists its keys with the handler that reads one into its field.
using Handler = std::function<void(const toml::node& node, const std::string& key)>;

struct Field {
  std::string_view name;
  Handler read;
};

std::string join(const std::string& path, std::string_view name) {
  return path.empty() ? std::string(name) : path + "." + std::string(name);
}

// Reads every key present in `node` with its field's handler; a key no field names is
// rejected at its own line, with the names the table does take.
void read_table(const toml::node& node, const std::string& path, const std::vector<Field>& fields) {
  const auto* table = node.as_table();
  if (table == nullptr) reject_type(node, path, "a table");
  for (auto&& [name, value] : *table) {
    const std::string key = join(path, name.str());
    const std::string_view wanted = name.str();
    const auto field = std::find_if(fields.begin(), fields.end(),
                                    [wanted](const Field& f) { return f.name == wanted; });
    if (field == fields.end()) {
      std::string known;
      for (const Field& f : fields) known += (known.empty() ? "" : ", ") + std::string(f.name);
      const toml::source_region& at =
          name.source().begin.line != 0 ? name.source() : value.source();
      reject(at, key,
             std::string(value.is_table() ? "unknown table" : "unknown key") +
                 (path.empty() ? "" : " in [" + path + "]") + "; known keys: " + known);
    }
    field->read(value, key);
  }
}

Handler table(std::vector<Field> fields) {
  return [fields = std::move(fields)](const toml::node& node, const std::string& key) {
    read_table(node, key, fields);
  };
}

template <class T>
Handler into(T& field) {
  return [&field](const toml::node& node, const std::string& key) {
    field = Reader<T>::read(node, key);
  };
}

template <class T>
Handler into(std::optional<T>& field) {
  return [&field](const toml::node& node, const std::string& key) {
    field = Reader<T>::read(node, key);
  };
}

// A list of up to N records replacing the first ones; the rest become zero.
template <size_t W, size_t N>
Handler leading_records(std::array<std::array<uint32_t, W>, N>& field) {
  return [&field](const toml::node& node, const std::string& key) {
    const auto records = read_vector<std::array<uint32_t, W>>(node, key, N);
    field = {};
    std::copy(records.begin(), records.end(), field.begin());
  };
}

// A list of integers stored as int64_t, each in the 32-bit range (statuses, line numbers).
Handler into_int64s(std::optional<std::vector<int64_t>>& field) {
  return [&field](const toml::node& node, const std::string& key) {
    const auto words = read_vector<uint32_t>(node, key);
    field.emplace(words.begin(), words.end());
  };
}

// The PCI configuration window is 256 MiB and decoded on a 256 MiB boundary below 4 GiB.
Handler ecam_base(uint32_t& field) {
  return [&field](const toml::node& node, const std::string& key) {
    constexpr uint32_t kWindow = 256u << 20;
    const uint32_t base = Reader<uint32_t>::read(node, key);
    if (base % kWindow != 0) {
      reject(node.source(), key,
             "expected a multiple of 256 MiB (" + hex(kWindow) + "), got " + hex(base));
    }
    field = base;
  };
}

// A [[hob.guid]] HOB's length in the list: header, name and data.
constexpr size_t kGuidHobHeader = 8 + 16;

// The expected entry status: a 32-bit EFI_STATUS, or "null" (stored as -1) when the entry
// point must not return.
Handler entry_status(std::optional<int64_t>& field) {
  return [&field](const toml::node& node, const std::string& key) {
    if (const auto* text = node.as_string()) {
      if (text->get() != "null") {
        reject(node.source(), key, "expected an integer or \"null\", got \"" + text->get() + "\"");
      }
      field = -1;
      return;
    }
    if (!node.is_integer()) reject_type(node, key, "an integer or \"null\"");
    field = Reader<uint32_t>::read(node, key);
  };
}

// A HOB's 16-bit length covers its 8-byte header, the 16-byte name and the data, and stays
// a multiple of 8.
constexpr size_t kMaxGuidHobData = 0xFFF8 - 8 - 16;

Handler guid_hobs(std::vector<GuidHobConfig>& hobs) {
  return [&hobs](const toml::node& node, const std::string& key) {
    const toml::array& list = read_list(node, key, "tables");
    // Each HOB takes at least its header: a longer list cannot fit the HOB list's room.
    if (list.size() > kHobListCapacity / kGuidHobHeader) {
      reject(list[kHobListCapacity / kGuidHobHeader].source(), key,
             "expected at most " + std::to_string(kHobListCapacity / kGuidHobHeader) +
                 " HOBs, got " + std::to_string(list.size()));
    }
    std::vector<GuidHobConfig> read;
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string at = indexed(key, i);
      GuidHobConfig hob;
      bool named = false;
      read_table(list[i], at,
                 {{"name",
                   [&](const toml::node& value, const std::string& name_key) {
                     const std::string text = Reader<std::string>::read(value, name_key);
                     const auto guid = parse_guid(text);
                     if (!guid) {
                       reject(value.source(), name_key,
                              "expected a GUID such as 1E2ACC41-E26A-483D-AFC7-A056C34E087B, "
                              "got \"" +
                                  text + "\"");
                     }
                     hob.name = *guid;
                     named = true;
                   }},
                  {"data",
                   [&](const toml::node& value, const std::string& data_key) {
                     hob.data = read_vector<uint8_t>(value, data_key);
                     hob.data.resize((hob.data.size() + 7) / 8 * 8, 0);
                     if (hob.data.size() > kMaxGuidHobData) {
                       reject(value.source(), data_key,
                              "expected at most " + std::to_string(kMaxGuidHobData) +
                                  " bytes, got " + std::to_string(hob.data.size()) +
                                  " after padding");
                     }
                   }},
                  {"type", into(hob.type)},
                  {"length", into(hob.length)}});
      if (!named) reject(list[i].source(), join(at, "name"), "missing; every GUID HOB has a name");
      read.push_back(std::move(hob));
    }
    hobs = std::move(read);
  };
}

// More answers than GUIDs anyone locates would only be dead weight.
constexpr size_t kMaxLocateAnswers = 64;

Handler locate_answers(std::vector<LocateAnswer>& answers) {
  return [&answers](const toml::node& node, const std::string& key) {
    const toml::array& list = read_list(node, key, "tables");
    if (list.size() > kMaxLocateAnswers) {
      reject(list[kMaxLocateAnswers].source(), key,
             "expected at most " + std::to_string(kMaxLocateAnswers) + " answers, got " +
                 std::to_string(list.size()));
    }
    std::vector<LocateAnswer> read(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string at = indexed(key, i);
      LocateAnswer& a = read[i];
      bool named = false;
      read_table(list[i], at,
                 {{"guid",
                   [&](const toml::node& value, const std::string& guid_key) {
                     const std::string text = Reader<std::string>::read(value, guid_key);
                     const auto guid = parse_guid(text);
                     if (!guid) {
                       reject(value.source(), guid_key,
                              "expected a GUID such as C8D85E8C-DC1C-4F8C-ADA7-58C1D107A304, "
                              "got \"" +
                                  text + "\"");
                     }
                     a.guid = *guid;
                     named = true;
                   }},
                  {"status", into(a.status)},
                  {"interface", into(a.interface)},
                  {"descriptor", into(a.descriptor)}});
      if (!named) reject(list[i].source(), join(at, "guid"), "missing; every answer names a GUID");
    }
    answers = std::move(read);
  };
}

Handler system_board_order(SystemBoardOrder& field) {
  return [&field](const toml::node& node, const std::string& key) {
    const std::string text = Reader<std::string>::read(node, key);
    for (auto order : {SystemBoardOrder::kAfterEntry, SystemBoardOrder::kBeforeEntry}) {
      if (text == order_name(order)) {
        field = order;
        return;
      }
    }
    reject(node.source(), key,
           "expected \"after-entry\" or \"before-entry\", got \"" + text + "\"");
  };
}

// PPIs besides the platform's: as many as answers to LocatePpi.
Handler guid_list(std::vector<Guid>& guids) {
  return [&guids](const toml::node& node, const std::string& key) {
    const auto texts = read_vector<std::string>(node, key, kMaxLocateAnswers);
    const toml::array& list = *node.as_array();
    std::vector<Guid> read;
    for (size_t i = 0; i < texts.size(); ++i) {
      const auto guid = parse_guid(texts[i]);
      if (!guid) {
        reject(list[i].source(), indexed(key, i),
               "expected a GUID such as 06E81C58-4AD7-44BC-8390-F10265F72480, got \"" + texts[i] +
                   "\"");
      }
      read.push_back(*guid);
    }
    guids = std::move(read);
  };
}

constexpr size_t kMaxPtssEntries = 256;

Handler ptss_entries(std::optional<std::vector<PtssEntryConfig>>& entries) {
  return [&entries](const toml::node& node, const std::string& key) {
    const toml::array& list = read_list(node, key, "tables");
    if (list.size() > kMaxPtssEntries) {
      reject(list[kMaxPtssEntries].source(), key,
             "expected at most " + std::to_string(kMaxPtssEntries) + " entries, got " +
                 std::to_string(list.size()));
    }
    std::vector<PtssEntryConfig> read(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
      PtssEntryConfig& e = read[i];
      read_table(list[i], indexed(key, i),
                 {{"register_port", into(e.register_port)},
                  {"lane", into(e.lane)},
                  {"lane_mode", into(e.lane_mode)},
                  {"register_offset", into(e.register_offset)},
                  {"register_value", into(e.register_value)},
                  {"keep_mask", into(e.keep_mask)},
                  {"topology", into(e.topology)},
                  {"board_id", into(e.board_id)}});
    }
    entries = std::move(read);
  };
}

void read_scenario(const toml::table& root, Scenario& s) {
  read_table(
      root, "",
      {{"name", into(s.name)},
       {"pch", table({{"lpc_device_id", into(s.pch.lpc_device_id)},
                      {"lpc_revision_id", into(s.pch.lpc_revision_id)},
                      {"ecam_base", ecam_base(s.pch.ecam_base)},
                      {"lane_owner", into(s.pch.lane_owner)},
                      {"rp_function_map", into(s.pch.rp_function_map)},
                      {"strap_fuse_cfg", into(s.pch.strap_fuse_cfg)}})},
       {"pmc", table({{"present", into(s.pmc.present)},
                      {"acpi_base", into(s.pmc.acpi_base)},
                      {"acpi_control", into(s.pmc.acpi_control)},
                      {"pwrm_base", into(s.pmc.pwrm_base)},
                      {"dwr", into(s.pmc.dwr)}})},
       {"heci", table({{"present", into(s.heci.present)},
                       {"mefs1", into(s.heci.mefs1)},
                       {"mefs2", into(s.heci.mefs2)}})},
       {"hob", table({{"platform_info", table({{"present", into(s.platform_info.present)},
                                               {"board_id", into(s.platform_info.board_id)}})},
                      {"me_fw", table({{"present", into(s.me_fw.present)},
                                       {"fun_number", into(s.me_fw.fun_number)},
                                       {"mefs1", into(s.me_fw.mefs1)}})},
                      {"guid", guid_hobs(s.guid_hobs)},
                      {"end", into(s.hob_list.end)}})},
       {"me_icc", table({{"ppi_present", into(s.me_icc.ppi_present)},
                         {"status", into(s.me_icc.status)},
                         {"reply_command", into(s.me_icc.reply_command)},
                         {"reply_response", into(s.me_icc.reply_response)},
                         {"clocking_mode", into(s.me_icc.clocking_mode)},
                         {"reply_length", into(s.me_icc.reply_length)}})},
       {"spi", table({{"ppi_present", into(s.spi.ppi_present)},
                      {"status", into(s.spi.status)},
                      {"soft_strap", into(s.spi.soft_strap)}})},
       {"pcd", table({{"ppi_present", into(s.pcd.ppi_present)},
                      {"pcie_base", into(s.pcd.pcie_base)},
                      {"mcfg", table({{"present", into(s.pcd.mcfg.present)},
                                      {"length", into(s.pcd.mcfg.length)},
                                      {"bases",
                                       [&s](const toml::node& node, const std::string& key) {
                                         s.pcd.mcfg.bases =
                                             read_vector<uint64_t>(node, key, kMaxMcfgEntries);
                                       }},
                                      {"pointer", into(s.pcd.mcfg.pointer)}})}})},
       {"setup", table({{"sata_topology", into(s.setup.sata_topology)},
                        {"ssata_topology", into(s.setup.ssata_topology)},
                        {"pcie_topology", into(s.setup.pcie_topology)}})},
       {"policy", table({{"sata", leading_records(s.policy.sata)},
                         {"ssata", leading_records(s.policy.ssata)},
                         {"pcie_rp", leading_records(s.policy.pcie_rp)},
                         {"pcie_direct", leading_records(s.policy.pcie_direct)}})},
       {"ptss", table({{"entries", ptss_entries(s.ptss.entries)}})},
       {"debug", table({{"ppi_present", into(s.debug.ppi_present)},
                        {"halt_on_assert", into(s.debug.halt_on_assert)}})},
       {"foundation",
        table({{"system_board_ppi", system_board_order(s.foundation.system_board_ppi)},
               {"other_ppis", guid_list(s.foundation.other_ppis)},
               {"hob_list", into(s.foundation.hob_list)},
               {"pool", into(s.foundation.pool)},
               {"locate", locate_answers(s.foundation.locate)}})},
       {"expect", table({{"dispatched", into(s.expect.dispatched)},
                         {"entry_status", entry_status(s.expect.entry_status)},
                         {"notify_statuses", into_int64s(s.expect.notify_statuses)},
                         {"slot15_called", into(s.expect.slot15_called)},
                         {"fault", into(s.expect.fault)},
                         {"prints_contain", into(s.expect.prints_contain)},
                         {"prints_absent", into(s.expect.prints_absent)},
                         {"assert_lines", into_int64s(s.expect.assert_lines)},
                         {"sata", into(s.expect.sata)},
                         {"ssata", into(s.expect.ssata)},
                         {"pcie_rp", into(s.expect.pcie_rp)},
                         {"pcie_direct", into(s.expect.pcie_direct)},
                         {"acpi_base", into(s.expect.acpi_base)},
                         {"acpi_control", into(s.expect.acpi_control)}})}});
}

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
    read_scenario(root, scenario);
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
  constexpr uint64_t kEcamSize = 0x10000000, kPwrmSize = 0x10000;
  const uint64_t ecam = s.pch.ecam_base;
  if (ecam < kEcamLowest || ecam > kEcamHighest) {
    return error("pch.ecam_base",
                 "expected a 256 MiB boundary from " + hex(kEcamLowest) + " to " +
                     hex(kEcamHighest) +
                     " (the window must not overlap the board's RAM, the PCR window or flash), "
                     "got " +
                     hex(ecam));
  }
  const uint64_t pwrm = s.pmc.pwrm_base & 0xFFFF0000u;
  if (s.pmc.present && pwrm != 0) {
    const struct {
      uint64_t base, size;
      const char* name;
    } taken[] = {{0, 0x01000000, "the board's RAM (below 16 MiB)"},
                 {0x0F000000, 0x4000, "the trap page"},
                 {ecam, kEcamSize, "the configuration window (pch.ecam_base)"},
                 {0xFD000000, 0x01000000, "the PCR window"},
                 {0xFF000000, 0x01000000, "the flash window"}};
    for (const auto& t : taken) {
      if (pwrm < t.base + t.size && t.base < pwrm + kPwrmSize) {
        return error("pmc.pwrm_base",
                     "the 64 KiB PWRM block at " + hex(pwrm) + " overlaps " + t.name);
      }
    }
  }
  // The HOB list: the handoff table, the two HOBs the board makes, the others, the end.
  constexpr size_t kHandoff = 56, kEnd = 8, kPlatformInfo = 24 + 64, kMeFw = 24 + 40;
  size_t hobs = kHandoff + kEnd + (s.platform_info.present ? kPlatformInfo : 0) +
                (s.me_fw.present ? kMeFw : 0);
  for (size_t i = 0; i < s.guid_hobs.size(); ++i) {
    hobs += kGuidHobHeader + s.guid_hobs[i].data.size();
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
