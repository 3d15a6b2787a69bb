// The TOML side of the scenario schema, shared by its reader and its writer (private to the
// scenario code): how one value of each C++ field type is read, with the range and type checks
// and their messages, and how it is written back; the rows that bind a key to its field.
#pragma once

#include <toml++/toml.h>

#include <array>
#include <concepts>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format.h"
#include "scenario_schema.h"

namespace peiboard::scenario_toml {

// ---- reading ----------------------------------------------------------------------------------

// The reason a key was rejected. Thrown by the readers and caught where a file is read, so it
// never leaves the scenario code.
struct Rejection {
  toml::source_position where;
  std::string key;
  std::string message;
};

[[noreturn]] void reject(const toml::source_region& at, std::string key, std::string message);
[[noreturn]] void reject_type(const toml::node& node, const std::string& key,
                              std::string_view expected);
std::string indexed(const std::string& key, size_t index);
std::string join(const std::string& path, std::string_view name);
const toml::array& read_list(const toml::node& node, const std::string& key, const std::string& of);

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

// A list of at most `max` elements (0: any number); the error points at the first one too many.
template <class T>
std::vector<T> read_vector(const toml::node& node, const std::string& key, size_t max = 0) {
  const toml::array& list = read_list(node, key, Reader<T>::plural());
  if (max != 0 && list.size() > max) {
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

// ---- writing ----------------------------------------------------------------------------------

// A value no scenario file can hold; thrown by the formatters, caught in write_scenario().
struct Unwritable {
  std::string key;
  std::string why;
};

std::string number(uint64_t value, const std::string& key);
std::string boolean(bool value);
// A TOML basic string: quotes, backslashes and control characters escaped; the rest is UTF-8.
std::string quoted(const std::string& text, const std::string& key);

template <class List, class Format>
std::string list(const List& items, Format format) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + format(items[i], i);
  return out + "]";
}

template <class List>
std::string numbers(const List& items, const std::string& key) {
  return list(items,
              [&](auto v, size_t i) { return number(static_cast<uint64_t>(v), indexed(key, i)); });
}

// Lane records, one per line.
template <class Records>
std::string records(const Records& items, size_t count, const std::string& key) {
  std::string out = "[\n";
  for (size_t i = 0; i < count; ++i) out += "  " + numbers(items[i], indexed(key, i)) + ",\n";
  return out + "]";
}

// Where a row writes its key: a table of the file, or one inline table of a list.
class KeyOut {
 public:
  virtual ~KeyOut() = default;
  virtual void key(std::string_view name, const std::string& value) = 0;
  // A [[name]] header for one element of a list of tables; its keys follow.
  virtual void array_table(const std::string& name) = 0;
};

// ---- rows -------------------------------------------------------------------------------------

// When a row's key is written: its value differs from the default board's (the base), it is
// set at all (differs from an empty field: expectations, answers that break contracts), or
// always (a list element's name).
enum class WriteWhen : uint8_t { kDiffers, kSet, kAlways };

// One key bound to its field of `Model` (the Scenario, or an element of a list of tables).
template <class Model>
struct Row {
  SchemaKey key;
  WriteWhen write_when = WriteWhen::kDiffers;
  std::function<void(const toml::node&, const std::string& key, Model&)> read;
  // Writes the key's value when `write_when` says so; `key` is the full key for errors.
  std::function<void(KeyOut&, const Model&, const Model& base, const std::string& key)> write;
  std::vector<SchemaKey> elements;  // a list of tables: its elements' keys
  bool array_tables = false;        // written as [[path]] tables rather than one inline list
};

// The scenario's rows in file order: a table's keys and sub-tables in the order its "known
// keys" message lists them.
const std::vector<Row<Scenario>>& scenario_rows();

// Reads every key of `root` into `scenario` through scenario_rows(); throws Rejection.
void read_scenario(const toml::table& root, Scenario& scenario);

}  // namespace peiboard::scenario_toml
