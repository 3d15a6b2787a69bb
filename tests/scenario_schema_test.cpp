// The scenario schema against the two things that do not come from it: the default board's
// documentation (scenarios/default.toml, compiled in) and the Scenario model's fields.
#include "scenario_schema.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "scenario_loader.h"
#include "scenario_writer.h"

namespace peiboard {
namespace {

std::string parent(std::string_view path) {
  const size_t dot = path.rfind('.');
  return dot == std::string_view::npos ? "" : std::string(path.substr(0, dot));
}

// A scenario file that sets `key` to `value` (TOML): under its table, or in one element of its
// list of tables, with the key every element must name.
std::string file_with(const SchemaKey& key, const std::string& value) {
  const std::string table = parent(key.path);
  const std::string assignment = std::string(key.name()) + " = " + value + "\n";
  if (table.empty()) return assignment;
  const bool in_list = std::any_of(
      scenario_schema().begin(), scenario_schema().end(),
      [&table](const SchemaKey& k) { return k.path == table && k.type == KeyType::kTables; });
  if (!in_list) return "[" + table + "]\n" + assignment;
  std::string file = "[[" + table + "]]\n";
  for (const SchemaKey& sibling : scenario_schema()) {
    if (sibling.type == KeyType::kGuid && parent(sibling.path) == table && &sibling != &key) {
      file += std::string(sibling.name()) + " = \"1E2ACC41-E26A-483D-AFC7-A056C34E087B\"\n";
    }
  }
  return file + assignment;
}

Result<Scenario> read(const SchemaKey& key, const std::string& value) {
  return parse_scenario(file_with(key, value), "schema.toml");
}

std::string list_of(size_t count, const std::string& element) {
  std::string text = "[";
  for (size_t i = 0; i < count; ++i) text += (i ? ", " : "") + element;
  return text + "]";
}

// ---- the documentation ------------------------------------------------------------------------

struct Documented {
  std::string value;    // as written, comment removed
  std::string comment;  // the rest of its line
};

// Every key default.toml names, set or shown in a comment, with its line: a key under the
// last table header above it (commented or not), a key of an inline table under the list it
// belongs to, a [[list]] header as the list's own key.
std::map<std::string, Documented> documented_keys(std::string_view text) {
  static const std::regex header(R"(^\[(\[?)([a-z_.]+)\]\]?\s*(#.*)?$)");
  static const std::regex assignment(R"(^([a-z_0-9]+) = (.*)$)");
  static const std::regex inline_key(R"(([a-z_0-9]+) = )");
  std::map<std::string, Documented> keys;
  std::string table, list;
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    const size_t start = line.find_first_not_of("# ");
    if (start == std::string::npos) continue;
    const std::string content = line.substr(start);
    const size_t hash = content.find("  #");
    std::string value = content.substr(0, hash);
    value.erase(value.find_last_not_of(' ') + 1);
    const std::string comment = hash == std::string::npos ? "" : content.substr(hash + 2);
    std::smatch m;
    if (std::regex_match(content, m, header)) {
      table = m[2];
      if (!m[1].str().empty()) keys.emplace(table, Documented{"", comment});
    } else if (std::regex_match(value, m, assignment) || content.starts_with("{")) {
      const bool opens_list = !content.starts_with("{");
      const std::string path = opens_list ? (table.empty() ? "" : table + ".") + m[1].str() : list;
      if (opens_list) keys.emplace(path, Documented{m[2], comment});
      if (opens_list && m[2].str().starts_with("[")) list = path;
      if (content.find('{') == std::string::npos) continue;
      for (std::sregex_iterator k(content.begin(), content.end(), inline_key), end; k != end; ++k) {
        if (k->position() > static_cast<long>(content.find('{'))) keys[path + "." + (*k)[1].str()];
      }
    }
  }
  return keys;
}

TEST(ScenarioSchema, DefaultBoardDocumentsEveryKeyAndNoOther) {
  const auto documented = documented_keys(default_scenario_text());
  std::set<std::string> in_schema;
  for (const SchemaKey& key : scenario_schema()) {
    in_schema.insert(std::string(key.path));
    EXPECT_TRUE(documented.contains(std::string(key.path)))
        << key.path << " is not documented in scenarios/default.toml";
    EXPECT_FALSE(key.doc.empty()) << key.path;
  }
  for (const auto& [path, doc] : documented) {
    EXPECT_TRUE(in_schema.contains(path))
        << "scenarios/default.toml documents " << path << ", which no scenario holds";
  }
}

// Where the documentation states a key's width or length, and where it shows a value, they
// are the schema's.
TEST(ScenarioSchema, DefaultBoardStatesTypesAndRangesAsTheSchema) {
  static const std::regex bits(R"(\((\d+)-bit)"), at_most(R"(at most (\d+))"),
      bytes(R"(^# (\d+) bytes)");
  for (const auto& [path, doc] : documented_keys(default_scenario_text())) {
    const SchemaKey& key = schema_key(path);
    std::smatch m;
    if (std::regex_search(doc.comment, m, bits)) {
      const auto width = std::stoul(m[1]);
      EXPECT_EQ(key.max, width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1) << path;
    }
    if (std::regex_search(doc.comment, m, at_most)) {
      EXPECT_EQ(key.items, std::stoul(m[1])) << path;
    }
    if (std::regex_search(doc.comment, m, bytes)) {
      EXPECT_EQ(key.items, std::stoul(m[1])) << path;
      EXPECT_EQ(key.max, 0xFFu) << path;
    }
    if (doc.value.empty() || doc.value.find("...") != std::string::npos) continue;
    if (doc.value.ends_with("[") || doc.value.ends_with("{")) continue;  // spans lines
    const auto read_back = read(key, doc.value);
    EXPECT_TRUE(read_back) << path << " = " << doc.value << ": " << read_back.error().to_string();
  }
}

// ---- each row's range and default -------------------------------------------------------------

// A key's default is the default board's value: setting it changes nothing. Its largest value
// reads and writes back; one more is refused; a list holds its length and not one more.
TEST(ScenarioSchema, EveryRangeAndDefaultHoldsToTheEdge) {
  const Scenario board = default_scenario();
  for (const SchemaKey& key : scenario_schema()) {
    SCOPED_TRACE(std::string(key.path));
    if (!key.default_text.empty()) {
      const auto with_default =
          overlay_scenario(board, file_with(key, std::string(key.default_text)), board.source);
      ASSERT_TRUE(with_default) << with_default.error().to_string();
      EXPECT_TRUE(*with_default == board) << "the default board does not hold " << key.default_text;
    }
    const bool integer = key.type == KeyType::kInteger || key.type == KeyType::kIntegerOrNull;
    const bool integers = key.type == KeyType::kIntegers || key.type == KeyType::kRecords;
    if (integer && key.max < (uint64_t{1} << 63)) {
      // The largest value is in range (another rule of the board may still refuse it).
      const auto largest = read(key, std::to_string(key.max));
      if (largest) {
        char text[32];
        std::snprintf(text, sizeof text, " = 0x%llX", static_cast<unsigned long long>(key.max));
        const auto written = write_scenario(*largest);
        ASSERT_TRUE(written) << written.error().message;
        EXPECT_NE(written->find(std::string(key.name()) + text), std::string::npos) << *written;
      } else {
        EXPECT_EQ(largest.error().message.find("-bit field)"), std::string::npos)
            << largest.error().to_string();
      }
      const auto above = read(key, std::to_string(key.max + 1));
      ASSERT_FALSE(above);
      EXPECT_NE(above.error().message.find("-bit field)"), std::string::npos)
          << above.error().to_string();
    }
    if (integers && key.items != 0) {
      const std::string element =
          key.type == KeyType::kRecords
              ? (key.path.find("pcie") != std::string_view::npos ? "[0, 0, 0, 1]" : "[0, 0, 1]")
              : "1";
      EXPECT_TRUE(read(key, list_of(key.items, element)));
      EXPECT_FALSE(read(key, list_of(key.items + 1, element)));
      if (key.fixed_length) {
        EXPECT_FALSE(read(key, list_of(key.items - 1, element)));
      }
    }
  }
}

}  // namespace
}  // namespace peiboard
