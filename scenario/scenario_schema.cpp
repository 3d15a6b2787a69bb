#include "scenario_schema.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <type_traits>

#include "guid.h"
#include "memory_map.h"
#include "scenario_loader.h"
#include "scenario_toml.h"

namespace peiboard {

const char* key_type_name(KeyType type) {
  switch (type) {
    case KeyType::kBoolean:
      return "boolean";
    case KeyType::kInteger:
      return "integer";
    case KeyType::kString:
      return "string";
    case KeyType::kChoice:
      return "choice";
    case KeyType::kIntegerOrNull:
      return "integer or \"null\"";
    case KeyType::kIntegers:
      return "integers";
    case KeyType::kRecords:
      return "records";
    case KeyType::kStrings:
      return "strings";
    case KeyType::kGuid:
      return "GUID";
    case KeyType::kGuids:
      return "GUIDs";
    case KeyType::kTables:
      return "tables";
  }
  return "?";
}

namespace scenario_toml {

// ---- the TOML helpers -------------------------------------------------------------------------

void reject(const toml::source_region& at, std::string key, std::string message) {
  throw Rejection{at.begin, std::move(key), std::move(message)};
}

namespace {

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

}  // namespace

void reject_type(const toml::node& node, const std::string& key, std::string_view expected) {
  reject(node.source(), key, "expected " + std::string(expected) + ", got " + type_name(node));
}

std::string indexed(const std::string& key, size_t index) {
  return key + "[" + std::to_string(index) + "]";
}

std::string join(const std::string& path, std::string_view name) {
  return path.empty() ? std::string(name) : path + "." + std::string(name);
}

const toml::array& read_list(const toml::node& node, const std::string& key,
                             const std::string& of) {
  const auto* list = node.as_array();
  if (list == nullptr) reject_type(node, key, "a list of " + of);
  return *list;
}

std::string number(uint64_t value, const std::string& key) {
  if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    throw Unwritable{key, "the value " + hex(value) + " is above the largest TOML integer"};
  }
  char text[24];
  std::snprintf(text, sizeof text, value < 10 ? "%" PRIu64 : "0x%" PRIX64, value);
  return text;
}

std::string boolean(bool value) { return value ? "true" : "false"; }

std::string quoted(const std::string& text, const std::string& key) {
  if (valid_utf8(text) != text) throw Unwritable{key, "the text is not UTF-8"};
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

namespace {

// ---- reading a table through rows -------------------------------------------------------------

// The tables the rows' dotted paths make, each entry a row's key or a sub-table, in the order
// the rows first name them.
template <class Model>
struct Table {
  struct Entry {
    std::string_view name;
    const Row<Model>* row = nullptr;
    std::unique_ptr<Table> table;
  };
  std::vector<Entry> entries;

  Table& sub(std::string_view name) {
    for (Entry& e : entries) {
      if (e.name == name && e.table) return *e.table;
    }
    entries.push_back({name, nullptr, std::make_unique<Table>()});
    return *entries.back().table;
  }
};

// `skip`: the length of the list's path and its dot, for an element's rows.
template <class Model>
std::unique_ptr<Table<Model>> make_table(const std::vector<Row<Model>>& rows, size_t skip) {
  auto root = std::make_unique<Table<Model>>();
  for (const Row<Model>& row : rows) {
    std::string_view path = row.key.path.substr(skip);
    Table<Model>* table = root.get();
    for (size_t dot = path.find('.'); dot != std::string_view::npos; dot = path.find('.')) {
      table = &table->sub(path.substr(0, dot));
      path.remove_prefix(dot + 1);
    }
    table->entries.push_back({path, &row, nullptr});
  }
  return root;
}

// Reads every key present in `node` with its row; a key no row names is rejected at its own
// line, with the names the table does take.
template <class Model>
void read_table(const toml::node& node, const std::string& path, const Table<Model>& table,
                Model& model) {
  const auto* toml_table = node.as_table();
  if (toml_table == nullptr) reject_type(node, path, "a table");
  for (auto&& [name, value] : *toml_table) {
    const std::string key = join(path, name.str());
    const std::string_view wanted = name.str();
    const auto entry =
        std::find_if(table.entries.begin(), table.entries.end(),
                     [wanted](const typename Table<Model>::Entry& e) { return e.name == wanted; });
    if (entry == table.entries.end()) {
      std::string known;
      for (const auto& e : table.entries)
        known += (known.empty() ? "" : ", ") + std::string(e.name);
      const toml::source_region& at =
          name.source().begin.line != 0 ? name.source() : value.source();
      reject(at, key,
             std::string(value.is_table() ? "unknown table" : "unknown key") +
                 (path.empty() ? "" : " in [" + path + "]") + "; known keys: " + known);
    }
    if (entry->table) {
      read_table(value, key, *entry->table, model);
    } else {
      entry->row->read(value, key, model);
    }
  }
}

// ---- what a field's C++ type makes of its key -------------------------------------------------

template <class T>
struct Shape {
  static constexpr KeyType kType = KeyType::kInteger;
  static constexpr uint64_t kMax = 0;
  static constexpr size_t kItems = 0;
};
template <Word T>
struct Shape<T> : Shape<void> {
  static constexpr uint64_t kMax = std::numeric_limits<T>::max();
};
template <>
struct Shape<int64_t> : Shape<void> {  // statuses and line numbers, read as 32-bit words
  static constexpr uint64_t kMax = 0xFFFFFFFF;
};
template <>
struct Shape<bool> : Shape<void> {
  static constexpr KeyType kType = KeyType::kBoolean;
};
template <>
struct Shape<std::string> : Shape<void> {
  static constexpr KeyType kType = KeyType::kString;
};
template <class T>
struct Shape<std::optional<T>> : Shape<T> {};
template <class T>
struct Shape<std::vector<T>> : Shape<T> {
  static constexpr KeyType kType =
      Shape<T>::kType == KeyType::kString ? KeyType::kStrings : KeyType::kIntegers;
  static constexpr size_t kItems = 0;
};
template <class T, size_t N>
struct Shape<std::array<T, N>> : Shape<T> {
  static constexpr KeyType kType =
      Shape<T>::kType == KeyType::kIntegers ? KeyType::kRecords : KeyType::kIntegers;
  static constexpr size_t kItems = N;
};

template <class Get, class Model>
using FieldOf = std::remove_cvref_t<decltype(std::declval<Get>()(std::declval<Model&>()))>;

// Fills in what the field tells of the key, and holds the row's range to the field's width:
// a row whose range or length the field cannot hold is a defect found at start-up.
template <class Model, class T, class Get>
SchemaKey described(SchemaKey key, Get get, KeyType type, bool fixed_length) {
  key.type = type;
  key.fixed_length = fixed_length;
  key.model = &typeid(Model);
  key.field = &typeid(T);
  const auto field = [get](const void* model) -> T& {
    return get(*static_cast<Model*>(const_cast<void*>(model)));
  };
  key.address = [field](void* model) -> void* { return &field(model); };
  key.copy = [field](void* to, const void* from) { field(to) = field(from); };
  if constexpr (Word<T> || std::is_same_v<T, bool>) {
    key.get = [field](const void* model, size_t) { return static_cast<uint64_t>(field(model)); };
    key.set = [field](void* model, size_t, uint64_t value) {
      field(model) = static_cast<T>(value);
    };
  } else if constexpr (Shape<T>::kType == KeyType::kIntegers && Shape<T>::kItems != 0) {
    key.get = [field](const void* model, size_t i) {
      return static_cast<uint64_t>(field(model)[i]);
    };
    key.set = [field](void* model, size_t i, uint64_t value) {
      field(model)[i] = static_cast<typename T::value_type>(value);
    };
  } else if constexpr (!std::is_same_v<T, std::string> && requires(T t) { t.erase(t.begin()); }) {
    key.count = [field](const void* model) { return field(model).size(); };
    key.erase = [field](void* model, size_t i) {
      field(model).erase(field(model).begin() + static_cast<long>(i));
    };
  } else if constexpr (requires(T t) { t->erase(t->begin()); }) {
    key.count = [field](const void* model) { return field(model) ? field(model)->size() : 0; };
    key.erase = [field](void* model, size_t i) {
      field(model)->erase(field(model)->begin() + static_cast<long>(i));
    };
  }
  return key;
}

template <class Model, class T, class Get>
SchemaKey shaped(SchemaKey key, Get get) {
  if (key.max != Shape<T>::kMax || (Shape<T>::kItems != 0 && key.items != Shape<T>::kItems)) {
    throw std::logic_error("scenario key '" + std::string(key.path) +
                           "': its range or length is not its field's");
  }
  return described<Model, T>(key, get, Shape<T>::kType, Shape<T>::kItems != 0);
}

// One value of a field read from a file, and written back.
template <class T>
T read_value(const toml::node& node, const std::string& key, size_t items) {
  if constexpr (std::is_same_v<T, std::vector<int64_t>>) {
    const auto words = read_vector<uint32_t>(node, key, items);
    return T(words.begin(), words.end());
  } else if constexpr (requires { typename T::allocator_type; } &&
                       !std::is_same_v<T, std::string>) {
    return read_vector<typename T::value_type>(node, key, items);
  } else {
    return Reader<T>::read(node, key);
  }
}

template <class T>
std::string format_value(const T& value, const std::string& key) {
  if constexpr (std::is_same_v<T, bool>) {
    return boolean(value);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return quoted(value, key);
  } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
    return list(value,
                [&](const std::string& text, size_t i) { return quoted(text, indexed(key, i)); });
  } else if constexpr (Shape<T>::kType == KeyType::kRecords) {
    return records(value, value.size(), key);
  } else if constexpr (Shape<T>::kType == KeyType::kIntegers) {
    return numbers(value, key);
  } else {
    return number(static_cast<uint64_t>(value), key);
  }
}

template <class T>
struct Unwrapped {
  using type = T;
};
template <class T>
struct Unwrapped<std::optional<T>> {
  using type = T;
};

template <class T>
bool should_write(const T& value, const T& base, WriteWhen when) {
  switch (when) {
    case WriteWhen::kAlways:
      return true;
    case WriteWhen::kSet:
      return !(value == T{});
    case WriteWhen::kDiffers:
      break;
  }
  return !(value == base);
}

template <class Model, class Get, class Format>
auto writer(std::string_view name, Get get, WriteWhen when, Format format) {
  return [name, get, when, format](KeyOut& out, const Model& model, const Model& base,
                                   const std::string& key) {
    if (should_write(get(model), get(base), when)) out.key(name, format(get(model), key));
  };
}

// A key read into its field as the field's type says; `check` may reject a value in range.
template <class Model, class Get>
Row<Model> plain(SchemaKey key, Get get, WriteWhen when = WriteWhen::kDiffers,
                 std::function<void(const toml::node&, const std::string&, uint64_t)> check = {}) {
  using T = FieldOf<Get, Model>;
  using V = typename Unwrapped<T>::type;
  const size_t items = key.items;
  return Row<Model>{
      shaped<Model, T>(key, get), when,
      [get, items, check](const toml::node& node, const std::string& k, Model& model) {
        V value = read_value<V>(node, k, items);
        if constexpr (Word<V>) {
          if (check) check(node, k, value);
        }
        get(model) = std::move(value);
      },
      writer<Model>(key.name(), get, when, [](const T& value, const std::string& k) {
        if constexpr (std::is_same_v<T, V>) {
          return format_value(value, k);
        } else {
          return format_value(*value, k);
        }
      })};
}

// Lane records of the policy: up to N records replacing the first ones, the rest zero; written
// up to the last record that is not zero.
template <class Model, class Get>
Row<Model> leading_records(SchemaKey key, Get get) {
  using T = FieldOf<Get, Model>;
  SchemaKey up_to = shaped<Model, T>(key, get);
  up_to.fixed_length = false;  // the leading records, up to `items` of them
  return Row<Model>{
      up_to, WriteWhen::kDiffers,
      [get](const toml::node& node, const std::string& k, Model& model) {
        const auto read = read_vector<typename T::value_type>(node, k, T{}.size());
        get(model) = {};
        std::copy(read.begin(), read.end(), get(model).begin());
      },
      writer<Model>(key.name(), get, WriteWhen::kDiffers, [](const T& value, const std::string& k) {
        size_t count = value.size();
        while (count > 0 && value[count - 1] == typename T::value_type{}) --count;
        return records(value, count, k);
      })};
}

// A GUID in its text form; `example` is the one the error shows.
template <class Model, class Get>
Row<Model> guid(SchemaKey key, Get get, std::string_view example) {
  return Row<Model>{
      described<Model, Guid>(key, get, KeyType::kGuid, false), WriteWhen::kAlways,
      [get, example](const toml::node& node, const std::string& k, Model& model) {
        const std::string text = Reader<std::string>::read(node, k);
        const auto parsed = parse_guid(text);
        if (!parsed) {
          reject(node.source(), k,
                 "expected a GUID such as " + std::string(example) + ", got \"" + text + "\"");
        }
        get(model) = *parsed;
      },
      writer<Model>(
          key.name(), get, WriteWhen::kAlways,
          [](const Guid& value, const std::string& k) { return quoted(guid_text(value), k); })};
}

// ---- the rows of one element of a list of tables ----------------------------------------------

// A HOB's 16-bit length covers its 8-byte header, the 16-byte name and the data, and stays
// a multiple of 8.
constexpr size_t kGuidHobHeader = hob::kGuidHeaderSize;
constexpr size_t kMaxGuidHobData = hob::kMaxLength - kGuidHobHeader;

template <class... Members>
auto at(Members... members) {
  return [members...](auto& model) -> auto& { return (model.*....*members); };
}

// The bytes of a GUID HOB, padded with zeros to a multiple of 8.
Row<GuidHobConfig> guid_hob_data(SchemaKey key) {
  const auto get = at(&GuidHobConfig::data);
  Row<GuidHobConfig> row = plain<GuidHobConfig>(key, get);
  row.read = [items = key.items](const toml::node& node, const std::string& k, GuidHobConfig& hob) {
    hob.data = read_vector<uint8_t>(node, k);
    hob.data.resize((hob.data.size() + 7) / 8 * 8, 0);
    if (hob.data.size() > items) {
      reject(node.source(), k,
             "expected at most " + std::to_string(items) + " bytes, got " +
                 std::to_string(hob.data.size()) + " after padding");
    }
  };
  return row;
}

const std::vector<Row<GuidHobConfig>>& guid_hob_rows() {
  static const std::vector<Row<GuidHobConfig>> rows = {
      guid<GuidHobConfig>({.path = "hob.guid.name", .doc = "the HOB's GUID, any case"},
                          at(&GuidHobConfig::name), "1E2ACC41-E26A-483D-AFC7-A056C34E087B"),
      guid_hob_data({.path = "hob.guid.data",
                     .max = 0xFF,
                     .items = kMaxGuidHobData,
                     .doc = "bytes, padded with zeros to a multiple of 8"}),
      plain<GuidHobConfig>({.path = "hob.guid.type",
                            .max = 0xFFFF,
                            .doc = "HobType written in the header instead of 0x0004"},
                           at(&GuidHobConfig::type), WriteWhen::kSet),
      plain<GuidHobConfig>({.path = "hob.guid.length",
                            .max = 0xFFFF,
                            .doc = "HobLength written instead of 24 + data"},
                           at(&GuidHobConfig::length), WriteWhen::kSet),
  };
  return rows;
}

const std::vector<Row<PtssEntryConfig>>& ptss_entry_rows() {
  const auto field = [](std::string_view path, uint64_t max, auto member) {
    return plain<PtssEntryConfig>({.path = path, .max = max, .doc = "a field of HsioPtssEntry"},
                                  at(member));
  };
  static const std::vector<Row<PtssEntryConfig>> rows = {
      field("ptss.entries.register_port", 0xFF, &PtssEntryConfig::register_port),
      field("ptss.entries.lane", 0xFF, &PtssEntryConfig::lane),
      field("ptss.entries.lane_mode", 0xFF, &PtssEntryConfig::lane_mode),
      field("ptss.entries.register_offset", 0xFFFF, &PtssEntryConfig::register_offset),
      field("ptss.entries.register_value", 0xFFFFFFFF, &PtssEntryConfig::register_value),
      field("ptss.entries.keep_mask", 0xFFFFFFFF, &PtssEntryConfig::keep_mask),
      field("ptss.entries.topology", 0xFFFF, &PtssEntryConfig::topology),
      field("ptss.entries.board_id", 0xFFFF, &PtssEntryConfig::board_id),
  };
  return rows;
}

const std::vector<Row<LocateAnswer>>& locate_rows() {
  static const std::vector<Row<LocateAnswer>> rows = {
      guid<LocateAnswer>({.path = "foundation.locate.guid", .doc = "the PPI's GUID"},
                         at(&LocateAnswer::guid), "C8D85E8C-DC1C-4F8C-ADA7-58C1D107A304"),
      plain<LocateAnswer>({.path = "foundation.locate.status",
                           .max = 0xFFFFFFFF,
                           .doc = "the EFI_STATUS LocatePpi returns (default 0)"},
                          at(&LocateAnswer::status), WriteWhen::kAlways),
      plain<LocateAnswer>({.path = "foundation.locate.interface",
                           .max = 0xFFFFFFFF,
                           .doc = "written through the interface output"},
                          at(&LocateAnswer::interface), WriteWhen::kSet),
      plain<LocateAnswer>({.path = "foundation.locate.descriptor",
                           .max = 0xFFFFFFFF,
                           .doc = "written through the descriptor output, when asked for"},
                          at(&LocateAnswer::descriptor), WriteWhen::kSet),
  };
  return rows;
}

// Where a row of an element writes: one inline table, `{ a = 1, b = 2 }`.
class InlineOut final : public KeyOut {
 public:
  void key(std::string_view name, const std::string& value) override {
    text_ += (text_.empty() ? "" : ", ") + std::string(name) + " = " + value;
  }
  void array_table(const std::string&) override {}
  std::string text() const { return "{ " + text_ + (text_.empty() ? "}" : " }"); }

 private:
  std::string text_;
};

// How a list of tables is spelled: what the error counts, the key every element must name.
struct ListOf {
  std::string_view noun;      // "HOBs"
  std::string_view required;  // "name"
  std::string_view missing;   // "missing; every GUID HOB has a name"
};

template <class Elem>
std::vector<SchemaKey> keys_of(const std::vector<Row<Elem>>& rows) {
  std::vector<SchemaKey> keys;
  for (const Row<Elem>& row : rows) keys.push_back(row.key);
  return keys;
}

template <class Elem>
std::vector<Elem> read_elements(const toml::node& node, const std::string& k, size_t items,
                                const std::vector<Row<Elem>>& rows, const ListOf& spelling) {
  static const auto table = make_table(rows, rows.front().key.path.rfind('.') + 1);
  const toml::array& list = read_list(node, k, "tables");
  if (items != 0 && list.size() > items) {
    reject(list[items].source(), k,
           "expected at most " + std::to_string(items) + " " + std::string(spelling.noun) +
               ", got " + std::to_string(list.size()));
  }
  std::vector<Elem> read(list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string element = indexed(k, i);
    read_table(list[i], element, *table, read[i]);
    if (!spelling.required.empty() && !list[i].as_table()->contains(spelling.required)) {
      reject(list[i].source(), join(element, spelling.required), std::string(spelling.missing));
    }
  }
  return read;
}

template <class Elem>
void write_inline(KeyOut& out, std::string_view name, const std::vector<Elem>& elements,
                  const std::vector<Row<Elem>>& rows, const std::string& k) {
  if (elements.empty()) return out.key(name, "[]");
  std::string text = "[\n";
  for (size_t i = 0; i < elements.size(); ++i) {
    InlineOut element;
    for (const Row<Elem>& row : rows) {
      row.write(element, elements[i], Elem{}, indexed(k, i) + "." + std::string(row.key.name()));
    }
    text += "  " + element.text() + ",\n";
  }
  out.key(name, text + "]");
}

// ---- the scenario's own special keys ----------------------------------------------------------

// The PCI configuration window is 256 MiB and decoded on a 256 MiB boundary below 4 GiB.
void check_ecam_base(const toml::node& node, const std::string& key, uint64_t base) {
  constexpr uint32_t kWindow = 256u << 20;
  if (base % kWindow != 0) {
    reject(node.source(), key,
           "expected a multiple of 256 MiB (" + hex(kWindow) + "), got " + hex(base));
  }
}

Row<Scenario> guid_hobs(SchemaKey key) {
  const auto get = at(&Scenario::guid_hobs);
  const size_t items = key.items;
  Row<Scenario> row{
      described<Scenario, std::vector<GuidHobConfig>>(key, get, KeyType::kTables, false),
      WriteWhen::kDiffers,
      [get, items](const toml::node& node, const std::string& k, Scenario& s) {
        get(s) = read_elements(node, k, items, guid_hob_rows(),
                               {"HOBs", "name", "missing; every GUID HOB has a name"});
      },
      [get, name = key.path](KeyOut& out, const Scenario& s, const Scenario& base,
                             const std::string& k) {
        if (get(s) == get(base)) return;
        for (size_t i = 0; i < get(s).size(); ++i) {
          out.array_table(std::string(name));
          for (const Row<GuidHobConfig>& field : guid_hob_rows()) {
            field.write(out, get(s)[i], GuidHobConfig{},
                        indexed(k, i) + "." + std::string(field.key.name()));
          }
        }
      }};
  row.elements = keys_of(guid_hob_rows());
  row.array_tables = true;
  return row;
}

Row<Scenario> ptss_entries(SchemaKey key) {
  const auto get = at(&Scenario::ptss, &PtssConfig::entries);
  const size_t items = key.items;
  Row<Scenario> row{
      described<Scenario, std::optional<std::vector<PtssEntryConfig>>>(key, get, KeyType::kTables,
                                                                       false),
      WriteWhen::kDiffers,
      [get, items](const toml::node& node, const std::string& k, Scenario& s) {
        get(s) = read_elements(node, k, items, ptss_entry_rows(), {"entries", "", ""});
      },
      [get, name = key.name()](KeyOut& out, const Scenario& s, const Scenario& base,
                               const std::string& k) {
        if (get(s) && get(s) != get(base)) write_inline(out, name, *get(s), ptss_entry_rows(), k);
      }};
  row.elements = keys_of(ptss_entry_rows());
  return row;
}

Row<Scenario> locate_answers(SchemaKey key) {
  const auto get = at(&Scenario::foundation, &FoundationConfig::locate);
  const size_t items = key.items;
  Row<Scenario> row{
      described<Scenario, std::vector<LocateAnswer>>(key, get, KeyType::kTables, false),
      WriteWhen::kDiffers,
      [get, items](const toml::node& node, const std::string& k, Scenario& s) {
        get(s) = read_elements(node, k, items, locate_rows(),
                               {"answers", "guid", "missing; every answer names a GUID"});
      },
      [get, name = key.name()](KeyOut& out, const Scenario& s, const Scenario&,
                               const std::string& k) {
        if (!get(s).empty()) write_inline(out, name, get(s), locate_rows(), k);
      }};
  row.elements = keys_of(locate_rows());
  return row;
}

Row<Scenario> system_board_order(SchemaKey key) {
  const auto get = at(&Scenario::foundation, &FoundationConfig::system_board_ppi);
  return {described<Scenario, SystemBoardOrder>(key, get, KeyType::kChoice, false),
          WriteWhen::kDiffers,
          [get](const toml::node& node, const std::string& k, Scenario& s) {
            const std::string text = Reader<std::string>::read(node, k);
            for (auto order : {SystemBoardOrder::kAfterEntry, SystemBoardOrder::kBeforeEntry}) {
              if (text == order_name(order)) {
                get(s) = order;
                return;
              }
            }
            reject(node.source(), k,
                   "expected \"after-entry\" or \"before-entry\", got \"" + text + "\"");
          },
          writer<Scenario>(key.name(), get, WriteWhen::kDiffers,
                           [](SystemBoardOrder order, const std::string&) {
                             return "\"" + std::string(order_name(order)) + "\"";
                           })};
}

// PPIs besides the platform's: as many as answers to LocatePpi.
Row<Scenario> guid_list(SchemaKey key) {
  const auto get = at(&Scenario::foundation, &FoundationConfig::other_ppis);
  const size_t items = key.items;
  return {described<Scenario, std::vector<Guid>>(key, get, KeyType::kGuids, false),
          WriteWhen::kDiffers,
          [get, items](const toml::node& node, const std::string& k, Scenario& s) {
            const auto texts = read_vector<std::string>(node, k, items);
            const toml::array& list = *node.as_array();
            std::vector<Guid> read;
            for (size_t i = 0; i < texts.size(); ++i) {
              const auto parsed = parse_guid(texts[i]);
              if (!parsed) {
                reject(list[i].source(), indexed(k, i),
                       "expected a GUID such as 06E81C58-4AD7-44BC-8390-F10265F72480, got \"" +
                           texts[i] + "\"");
              }
              read.push_back(*parsed);
            }
            get(s) = std::move(read);
          },
          writer<Scenario>(key.name(), get, WriteWhen::kDiffers,
                           [](const std::vector<Guid>& guids, const std::string&) {
                             return list(guids, [](const Guid& g, size_t) {
                               return "\"" + guid_text(g) + "\"";
                             });
                           })};
}

// The expected entry status: a 32-bit EFI_STATUS, or "null" (stored as -1) when the entry
// point must not return.
Row<Scenario> entry_status(SchemaKey key) {
  const auto get = at(&Scenario::expect, &ExpectConfig::entry_status);
  return {described<Scenario, std::optional<int64_t>>(key, get, KeyType::kIntegerOrNull, false),
          WriteWhen::kSet,
          [get](const toml::node& node, const std::string& k, Scenario& s) {
            if (const auto* text = node.as_string()) {
              if (text->get() != "null") {
                reject(node.source(), k,
                       "expected an integer or \"null\", got \"" + text->get() + "\"");
              }
              get(s) = -1;
              return;
            }
            if (!node.is_integer()) reject_type(node, k, "an integer or \"null\"");
            get(s) = Reader<uint32_t>::read(node, k);
          },
          writer<Scenario>(key.name(), get, WriteWhen::kSet,
                           [](const std::optional<int64_t>& status, const std::string& k) {
                             return *status < 0 ? std::string("\"null\"")
                                                : number(static_cast<uint64_t>(*status), k);
                           })};
}

// ---- the table --------------------------------------------------------------------------------

constexpr Fuzzed kFuzz = Fuzzed::kPlatform;
constexpr Fuzzed kHostile = Fuzzed::kHostile;
constexpr uint64_t k8 = 0xFF, k16 = 0xFFFF, k32 = 0xFFFFFFFF, k64 = 0xFFFFFFFFFFFFFFFF;

// Every key of a scenario file, in file order, in four groups. Adding a key is one row here
// (and its field in scenario.h, and its line in scenarios/default.toml, which a test holds to
// this table).

// The name, the PCH and its functions, the HOBs.
std::vector<Row<Scenario>> board_rows() {
  using S = Scenario;
  // clang-format off
  return {
    plain<S>({.path = "name", .default_text = "\"default board\"", .doc = "label shown in reports"},
             at(&S::name), WriteWhen::kAlways),

    plain<S>({.path = "pch.lpc_device_id", .max = k16, .default_text = "0xA1C3", .doc = "LPC bridge 0:31:0 offset 0x02", .fuzzed = kFuzz},
             at(&S::pch, &PchConfig::lpc_device_id)),
    plain<S>({.path = "pch.lpc_revision_id", .max = k8, .default_text = "0x04", .doc = "LPC bridge offset 0x08", .fuzzed = kFuzz},
             at(&S::pch, &PchConfig::lpc_revision_id)),
    plain<S>({.path = "pch.ecam_base", .max = k32, .default_text = "0x80000000", .doc = "where the hardware decodes PCI configuration space: a 256 MiB window on a 256 MiB boundary", .fuzzed = kFuzz},
             at(&S::pch, &PchConfig::ecam_base), WriteWhen::kDiffers, check_ecam_base),
    plain<S>({.path = "pch.lane_owner", .max = k32, .items = 4, .default_text = "[0x00111111, 0x22220000, 0x22222222, 0x00000022]", .doc = "PCR port 0x13 offsets 0x250, 0x254, 0x258, 0x25C", .fuzzed = kFuzz},
             at(&S::pch, &PchConfig::lane_owner)),
    plain<S>({.path = "pch.rp_function_map", .max = k32, .items = 5, .default_text = "[0x00003210, 0x00007654, 0x00003210, 0x00007654, 0x00003210]", .doc = "PCR ports 0xE0 to 0xE4 offset 0", .fuzzed = kFuzz},
             at(&S::pch, &PchConfig::rp_function_map)),
    plain<S>({.path = "pch.strap_fuse_cfg", .max = k32, .items = 5, .default_text = "[0, 0, 0, 0, 0]", .doc = "offset 0xFC of each controller's first root port", .fuzzed = kFuzz},
             at(&S::pch, &PchConfig::strap_fuse_cfg)),

    plain<S>({.path = "pmc.present", .default_text = "true", .doc = "PMC 0:31:2 answers; absent reads all ones", .fuzzed = kFuzz},
             at(&S::pmc, &PmcConfig::present)),
    plain<S>({.path = "pmc.acpi_base", .max = k16, .default_text = "0x0000", .doc = "offset 0x40 before boot", .fuzzed = kFuzz},
             at(&S::pmc, &PmcConfig::acpi_base)),
    plain<S>({.path = "pmc.acpi_control", .max = k8, .default_text = "0x00", .doc = "offset 0x44 before boot", .fuzzed = kFuzz},
             at(&S::pmc, &PmcConfig::acpi_control)),
    plain<S>({.path = "pmc.pwrm_base", .max = k32, .default_text = "0xFE000000", .doc = "offset 0x48", .fuzzed = kFuzz},
             at(&S::pmc, &PmcConfig::pwrm_base)),
    plain<S>({.path = "pmc.dwr", .default_text = "false", .doc = "bit 15 at PWRM base + 0x12C", .fuzzed = kFuzz},
             at(&S::pmc, &PmcConfig::dwr)),

    plain<S>({.path = "heci.present", .default_text = "true", .doc = "HECI 0:22:0 answers; absent reads all ones", .fuzzed = kFuzz},
             at(&S::heci, &HeciConfig::present)),
    plain<S>({.path = "heci.mefs1", .max = k32, .default_text = "0x000F0005", .doc = "offset 0x40", .fuzzed = kFuzz},
             at(&S::heci, &HeciConfig::mefs1)),
    plain<S>({.path = "heci.mefs2", .max = k32, .default_text = "0x00000000", .doc = "offset 0x48", .fuzzed = kFuzz},
             at(&S::heci, &HeciConfig::mefs2)),

    plain<S>({.path = "hob.platform_info.present", .default_text = "true", .doc = "the platform-information HOB", .fuzzed = kFuzz},
             at(&S::platform_info, &PlatformInfoHobConfig::present)),
    plain<S>({.path = "hob.platform_info.board_id", .max = k8, .default_text = "14", .doc = "its data byte 37", .fuzzed = kFuzz},
             at(&S::platform_info, &PlatformInfoHobConfig::board_id)),
    plain<S>({.path = "hob.me_fw.present", .default_text = "false", .doc = "the ME firmware HOB", .fuzzed = kFuzz},
             at(&S::me_fw, &MeFwHobConfig::present)),
    plain<S>({.path = "hob.me_fw.fun_number", .max = k32, .default_text = "0", .doc = "offset 28", .fuzzed = kFuzz},
             at(&S::me_fw, &MeFwHobConfig::fun_number)),
    plain<S>({.path = "hob.me_fw.mefs1", .max = k32, .default_text = "0x00000000", .doc = "offset 32", .fuzzed = kFuzz},
             at(&S::me_fw, &MeFwHobConfig::mefs1)),
    guid_hobs({.path = "hob.guid", .items = kHobListCapacity / kGuidHobHeader, .doc = "further GUID HOBs, in order, after the two above", .fuzzed = kFuzz}),
    plain<S>({.path = "hob.end", .default_text = "true", .doc = "false: the list stops without its end-of-list HOB", .fuzzed = kHostile},
             at(&S::hob_list, &HobListConfig::end)),

  };
  // clang-format on
}

// The other modules' PPIs and the PCDs.
std::vector<Row<Scenario>> ppi_rows() {
  using S = Scenario;
  const auto set = WriteWhen::kSet;
  // clang-format off
  return {
    plain<S>({.path = "me_icc.ppi_present", .default_text = "true", .doc = "the HECI PPI with the ME's ICC service behind it", .fuzzed = kFuzz},
             at(&S::me_icc, &MeIccConfig::ppi_present)),
    plain<S>({.path = "me_icc.status", .max = k32, .default_text = "0x00000000", .doc = "EFI_STATUS the send returns", .fuzzed = kFuzz},
             at(&S::me_icc, &MeIccConfig::status)),
    plain<S>({.path = "me_icc.reply_command", .max = k32, .default_text = "0x1A", .doc = "reply offset 4", .fuzzed = kFuzz},
             at(&S::me_icc, &MeIccConfig::reply_command)),
    plain<S>({.path = "me_icc.reply_response", .max = k32, .default_text = "0", .doc = "reply offset 8", .fuzzed = kFuzz},
             at(&S::me_icc, &MeIccConfig::reply_response)),
    plain<S>({.path = "me_icc.clocking_mode", .max = k8, .default_text = "0x00", .doc = "reply byte 23", .fuzzed = kFuzz},
             at(&S::me_icc, &MeIccConfig::clocking_mode)),
    plain<S>({.path = "me_icc.reply_length", .max = k32, .default_text = "48", .doc = "the reply length the send writes back", .fuzzed = kFuzz},
             at(&S::me_icc, &MeIccConfig::reply_length)),

    plain<S>({.path = "spi.ppi_present", .default_text = "true", .doc = "the SPI PPI is installed", .fuzzed = kFuzz},
             at(&S::spi, &SpiConfig::ppi_present)),
    plain<S>({.path = "spi.status", .max = k32, .default_text = "0x00000000", .doc = "EFI_STATUS the soft-strap read returns", .fuzzed = kFuzz},
             at(&S::spi, &SpiConfig::status)),
    plain<S>({.path = "spi.soft_strap", .max = k32, .default_text = "0x00000000", .doc = "the word at soft-strap offset 0x1F4", .fuzzed = kFuzz},
             at(&S::spi, &SpiConfig::soft_strap)),

    plain<S>({.path = "pcd.ppi_present", .default_text = "true", .doc = "the PCD PPI is installed before dispatch", .fuzzed = kFuzz},
             at(&S::pcd, &PcdConfig::ppi_present)),
    plain<S>({.path = "pcd.pcie_base", .max = k64, .default_text = "0x80000000", .doc = "token 6", .fuzzed = kFuzz},
             at(&S::pcd, &PcdConfig::pcie_base)),
    plain<S>({.path = "pcd.mcfg.present", .default_text = "true", .doc = "token 7; false: no table (null)", .fuzzed = kHostile},
             at(&S::pcd, &PcdConfig::mcfg, &McfgConfig::present)),
    plain<S>({.path = "pcd.mcfg.length", .max = k32, .default_text = "0", .doc = "the table's length field", .fuzzed = kFuzz},
             at(&S::pcd, &PcdConfig::mcfg, &McfgConfig::length)),
    plain<S>({.path = "pcd.mcfg.bases", .max = k64, .items = kMaxMcfgEntries, .default_text = "[]", .doc = "entry bases; entries past the list are zero, at least 8", .fuzzed = kFuzz},
             at(&S::pcd, &PcdConfig::mcfg, &McfgConfig::bases)),
    plain<S>({.path = "pcd.mcfg.pointer", .max = k32, .doc = "what the pointer get answers for token 7 instead of the table", .fuzzed = kHostile},
             at(&S::pcd, &PcdConfig::mcfg, &McfgConfig::pointer), set),

  };
  // clang-format on
}

// The setup and policy records, the PTSS tables, the debug PPI, the foundation.
std::vector<Row<Scenario>> record_rows() {
  using S = Scenario;
  const auto set = WriteWhen::kSet;
  // clang-format off
  return {
    plain<S>({.path = "setup.sata_topology", .max = k8, .items = 8, .default_text = "[0, 0, 0, 0, 0, 0, 0, 0]", .doc = "the setup record's SATA topology codes", .fuzzed = kFuzz},
             at(&S::setup, &SetupConfig::sata_topology)),
    plain<S>({.path = "setup.ssata_topology", .max = k8, .items = 6, .default_text = "[0, 0, 0, 0, 0, 0]", .doc = "the setup record's sSATA topology codes", .fuzzed = kFuzz},
             at(&S::setup, &SetupConfig::ssata_topology)),
    plain<S>({.path = "setup.pcie_topology", .max = k8, .items = 20, .default_text = "[0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]", .doc = "the setup record's PCIe topology codes", .fuzzed = kFuzz},
             at(&S::setup, &SetupConfig::pcie_topology)),

    leading_records<S>({.path = "policy.sata", .max = k32, .items = 8, .default_text = "[]", .doc = "initial SATA lane records of 3 words, from the first", .fuzzed = kFuzz},
                       at(&S::policy, &PolicyConfig::sata)),
    leading_records<S>({.path = "policy.ssata", .max = k32, .items = 6, .default_text = "[]", .doc = "initial sSATA lane records of 3 words", .fuzzed = kFuzz},
                       at(&S::policy, &PolicyConfig::ssata)),
    leading_records<S>({.path = "policy.pcie_rp", .max = k32, .items = 20, .default_text = "[]", .doc = "initial root-port lane records of 4 words", .fuzzed = kFuzz},
                       at(&S::policy, &PolicyConfig::pcie_rp)),
    leading_records<S>({.path = "policy.pcie_direct", .max = k32, .items = 20, .default_text = "[]", .doc = "initial direct lane records of 4 words", .fuzzed = kFuzz},
                       at(&S::policy, &PolicyConfig::pcie_direct)),

    ptss_entries({.path = "ptss.entries", .items = 256, .doc = "replaces the contents of the built-in PTSS tables", .fuzzed = kFuzz}),

    plain<S>({.path = "debug.ppi_present", .default_text = "true", .doc = "the debug-services PPI is installed", .fuzzed = kFuzz},
             at(&S::debug, &DebugConfig::ppi_present)),
    plain<S>({.path = "debug.halt_on_assert", .default_text = "false", .doc = "stop the run at the first assertion", .fuzzed = kFuzz},
             at(&S::debug, &DebugConfig::halt_on_assert)),

    system_board_order({.path = "foundation.system_board_ppi", .default_text = "\"after-entry\"", .doc = "when the System Board PPI is installed: \"after-entry\" or \"before-entry\"", .fuzzed = kFuzz}),
    guid_list({.path = "foundation.other_ppis", .items = 64, .default_text = "[]", .doc = "further PPIs installed before dispatch"}),
    plain<S>({.path = "foundation.hob_list", .max = k32, .doc = "what GetHobList hands out instead of the HOB list", .fuzzed = kHostile},
             at(&S::foundation, &FoundationConfig::hob_list), set),
    plain<S>({.path = "foundation.pool", .max = k32, .doc = "what every AllocatePool hands out, with success", .fuzzed = kHostile},
             at(&S::foundation, &FoundationConfig::pool), set),
    locate_answers({.path = "foundation.locate", .items = 64, .doc = "LocatePpi's answers for GUIDs, whatever the database holds", .fuzzed = kFuzz}),

  };
  // clang-format on
}

// What `peiboard check` compares.
std::vector<Row<Scenario>> expect_rows() {
  using S = Scenario;
  const auto set = WriteWhen::kSet;
  // clang-format off
  return {
    plain<S>({.path = "expect.dispatched", .doc = "false: the dependency expression must not hold"},
             at(&S::expect, &ExpectConfig::dispatched), set),
    entry_status({.path = "expect.entry_status", .max = k32, .doc = "the entry point's status, or \"null\": it never returned"}),
    plain<S>({.path = "expect.notify_statuses", .max = k32, .doc = "the notify callbacks' statuses"},
             at(&S::expect, &ExpectConfig::notify_statuses), set),
    plain<S>({.path = "expect.slot15_called", .doc = "whether slot 15 was called"},
             at(&S::expect, &ExpectConfig::slot15_called), set),
    plain<S>({.path = "expect.fault", .doc = "true: the run must fault or hang"},
             at(&S::expect, &ExpectConfig::fault), set),
    plain<S>({.path = "expect.prints_contain", .doc = "each a substring of the console"},
             at(&S::expect, &ExpectConfig::prints_contain), set),
    plain<S>({.path = "expect.prints_absent", .doc = "none a substring of the console"},
             at(&S::expect, &ExpectConfig::prints_absent), set),
    plain<S>({.path = "expect.assert_lines", .max = k32, .doc = "the assertion lines, in order"},
             at(&S::expect, &ExpectConfig::assert_lines), set),
    plain<S>({.path = "expect.sata", .max = k32, .items = 8, .doc = "all 8 SATA lane records"},
             at(&S::expect, &ExpectConfig::sata), set),
    plain<S>({.path = "expect.ssata", .max = k32, .items = 6, .doc = "all 6 sSATA lane records"},
             at(&S::expect, &ExpectConfig::ssata), set),
    plain<S>({.path = "expect.pcie_rp", .max = k32, .items = 20, .doc = "all 20 root-port lane records"},
             at(&S::expect, &ExpectConfig::pcie_rp), set),
    plain<S>({.path = "expect.pcie_direct", .max = k32, .items = 20, .doc = "all 20 direct lane records"},
             at(&S::expect, &ExpectConfig::pcie_direct), set),
    plain<S>({.path = "expect.acpi_base", .max = k32, .doc = "the PMC's ACPI base the run left"},
             at(&S::expect, &ExpectConfig::acpi_base), set),
    plain<S>({.path = "expect.acpi_control", .max = k32, .doc = "the PMC's ACPI control the run left"},
             at(&S::expect, &ExpectConfig::acpi_control), set),
  };
  // clang-format on
}

std::vector<Row<Scenario>> make_rows() {
  std::vector<Row<Scenario>> rows;
  for (auto group : {board_rows, ppi_rows, record_rows, expect_rows}) {
    for (Row<Scenario>& row : group()) rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace

const std::vector<Row<Scenario>>& scenario_rows() {
  static const std::vector<Row<Scenario>> rows = make_rows();
  return rows;
}

void read_scenario(const toml::table& root, Scenario& scenario) {
  static const auto table = make_table(scenario_rows(), 0);
  read_table(root, "", *table, scenario);
}

}  // namespace scenario_toml

std::span<const SchemaKey> scenario_schema() {
  static const std::vector<SchemaKey> keys = [] {
    std::vector<SchemaKey> all;
    for (const auto& row : scenario_toml::scenario_rows()) {
      all.push_back(row.key);
      all.insert(all.end(), row.elements.begin(), row.elements.end());
    }
    return all;
  }();
  return keys;
}

const SchemaKey& schema_key(std::string_view path) {
  for (const SchemaKey& key : scenario_schema()) {
    if (key.path == path) return key;
  }
  throw std::out_of_range("no scenario key '" + std::string(path) + "'");
}

}  // namespace peiboard
