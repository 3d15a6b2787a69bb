// The scenario format's one schema: every key a scenario file can hold, with its type, range,
// the default board's value, what it sets, and where it lives in the Scenario model.
//
// The reader (scenario_loader.h), the writer (scenario_writer.h) and the fuzzer's sites all
// work from this table, and a test holds scenarios/default.toml to it: adding a key is one row
// in scenario_schema.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>

#include "scenario.h"

namespace peiboard {

// What a key's value is in a file.
enum class KeyType : uint8_t {
  kBoolean,
  kInteger,
  kString,
  kChoice,         // one of a few strings
  kIntegerOrNull,  // an integer, or the string "null"
  kIntegers,       // a list of integers
  kRecords,        // a list of lists of integers
  kStrings,        // a list of strings
  kGuid,           // a GUID in its text form
  kGuids,          // a list of GUIDs
  kTables,         // a list of tables, each keyed by the rows under this key's path
};
const char* key_type_name(KeyType type);

// Which platforms the fuzzer makes up with the key.
enum class Fuzzed : uint8_t {
  kNever,     // a label, an expectation or an element of a list the fuzzer varies as a whole
  kPlatform,  // within the contracts a real platform keeps
  kHostile,   // a key that breaks a contract: hostile mode only
};

struct SchemaKey {
  std::string_view path;  // dotted, as a file names it; an element's key under its list's path
  uint64_t max = 0;       // largest value of each integer: the width of the field
  size_t items = 0;       // a list's fixed length, or the most it holds; 0: no bound
  std::string_view default_text;  // the default board's value as TOML; empty: not set
  std::string_view doc;           // what the key sets
  Fuzzed fuzzed = Fuzzed::kNever;
  // Filled from the field the row names:
  KeyType type = KeyType::kInteger;
  bool fixed_length = false;                             // a list of exactly `items` elements
  const std::type_info* model = nullptr;                 // Scenario, or the element type of a list
  const std::type_info* field = nullptr;                 // the C++ type of the field
  std::function<void*(void*)> address;                   // the field inside a model
  std::function<void(void* to, const void* from)> copy;  // the field from one model to another
  // An integer or boolean field, or element `index` of a list of integers of fixed length, as
  // a number (set() keeps the bits the field holds); empty for other fields.
  std::function<uint64_t(const void* model, size_t index)> get;
  std::function<void(void* model, size_t index, uint64_t value)> set;
  // A list's elements: how many, and dropping one; empty for keys that are not lists.
  std::function<size_t(const void* model)> count;
  std::function<void(void* model, size_t index)> erase;
  std::string_view name() const { return path.substr(path.rfind('.') + 1); }
};

// Every key: the Scenario's in file order, each list of tables followed by its elements' keys.
std::span<const SchemaKey> scenario_schema();

// The key a file names `path` (list elements' keys under their list's path, "hob.guid.name");
// throws std::out_of_range for a path the schema does not hold.
const SchemaKey& schema_key(std::string_view path);

// The field `key` names inside `model`, typed; throws std::logic_error when the field is not
// a T of a Model (a defect in the caller's table, found at its first use).
template <class T, class Model>
T& key_field(const SchemaKey& key, Model& model) {
  if (key.field == nullptr || *key.field != typeid(T) || *key.model != typeid(Model)) {
    throw std::logic_error("scenario key '" + std::string(key.path) +
                           "' is not a field of the type asked for");
  }
  return *static_cast<T*>(key.address(&model));
}

}  // namespace peiboard
