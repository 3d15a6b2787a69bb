#include "scenario_writer.h"

#include <algorithm>

#include "scenario_loader.h"
#include "scenario_toml.h"

namespace peiboard {
namespace {

using scenario_toml::Row;

// Writes tables lazily: a table's header goes out with its first key.
class TomlOut final : public scenario_toml::KeyOut {
 public:
  void table(std::string_view name) {
    table_ = name;
    pending_ = !name.empty();
  }
  void array_table(const std::string& name) override {
    out_ += "\n[[" + name + "]]\n";
    pending_ = false;
  }
  void key(std::string_view name, const std::string& value) override {
    if (pending_) {
      out_ += "\n[" + table_ + "]\n";
      pending_ = false;
    }
    out_ += std::string(name) + " = " + value + "\n";
  }
  std::string text() && { return std::move(out_); }

 private:
  std::string out_;
  std::string table_;
  bool pending_ = false;
};

std::string_view parent(std::string_view path) {
  const size_t dot = path.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : path.substr(0, dot);
}

// One [table] of the file (or a list written as [[table]]s) and the rows it holds.
struct Section {
  std::string_view path;
  size_t first = 0;  // the first row in it or in a table below it
  std::vector<const Row<Scenario>*> rows;
};

// The tables in the order a reader meets their keys: a table before the tables below it,
// each where the schema first names a key in it; a list of tables after the keys of its own.
std::vector<Section> sections() {
  std::vector<Section> out;
  const auto section = [&out](std::string_view path, size_t index) -> Section& {
    for (Section& s : out) {
      if (s.path == path) return s;
    }
    return out.emplace_back(Section{path, index, {}});
  };
  const auto& rows = scenario_toml::scenario_rows();
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string_view path =
        rows[i].array_tables ? rows[i].key.path : parent(rows[i].key.path);
    for (std::string_view above = path; !above.empty(); above = parent(above)) section(above, i);
    section("", i);
    section(path, i).rows.push_back(&rows[i]);
  }
  std::stable_sort(out.begin(), out.end(), [](const Section& a, const Section& b) {
    return a.first < b.first || (a.first == b.first && a.path.size() < b.path.size());
  });
  return out;
}

}  // namespace

Expected<std::string> write_scenario(const Scenario& scenario) {
  static const std::vector<Section> layout = sections();
  const Scenario base = default_scenario();
  TomlOut toml;
  try {
    for (const Section& section : layout) {
      toml.table(section.path);
      for (const Row<Scenario>* row : section.rows) {
        row->write(toml, scenario, base, std::string(row->key.path));
      }
    }
  } catch (const scenario_toml::Unwritable& u) {
    return Error{"key '" + u.key + "': " + u.why};
  }
  return std::move(toml).text();
}

}  // namespace peiboard
