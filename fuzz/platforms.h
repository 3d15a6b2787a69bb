// What the fuzzer boots: platforms made up or changed, key by key, within the contracts a
// real platform keeps with the module (platform mode) or breaking them (hostile mode).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "random.h"
#include "scenario.h"

namespace peiboard::fuzz {

enum class Mode : uint8_t {
  kPlatform,  // every input a real platform may hand the module within its contracts
  kHostile,   // also malformed HOB lists, lying tables and garbage pointers from services
};
const char* mode_name(Mode mode);

// One key (or list) of a scenario file that the fuzzer changes as a unit.
struct VariedKey {
  std::string_view key;  // as a scenario file names it
  bool hostile = false;  // only hostile mode changes it
  // A new value: regenerated, or the old one perturbed.
  std::function<void(Rng&, Scenario&, Mode)> vary;
  // Takes the key's value from another scenario (the default board: back to the default).
  std::function<void(Scenario& to, const Scenario& from)> assign;
  // For lists: how many elements, and dropping one. Empty for plain keys.
  std::function<size_t(const Scenario&)> count;
  std::function<void(Scenario&, size_t)> erase;
};

// The platforms of one mode: generation, mutation and the contract rules that tie keys
// together. Every scenario it returns passes check_layout() and can be written to a file.
class PlatformSpace {
 public:
  explicit PlatformSpace(Mode mode);

  Mode mode() const { return mode_; }
  std::span<const VariedKey> varied_keys() const { return varied_keys_; }
  const Scenario& base() const { return base_; }  // the default board, expecting nothing

  // A new platform: the default board with a random choice of keys made up afresh.
  Scenario generate(Rng& rng) const;
  // `parent` with a few keys varied, or spliced with keys of `other` when one is given.
  Scenario mutate(Rng& rng, const Scenario& parent, const Scenario* other) const;
  // Re-ties the keys a contract couples (platform mode: PCD token 6 and the MCFG table name
  // the configuration window, GUID HOBs hold what the module reads, no hostile answers) and
  // repairs a layout check_layout() would reject. Idempotent.
  void conform(Scenario& scenario) const;

 private:
  Mode mode_;
  Scenario base_;
  std::vector<VariedKey> varied_keys_;
};

}  // namespace peiboard::fuzz
