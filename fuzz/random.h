// The fuzzer's only source of chance: a small generator whose sequence is fixed by its seed on
// every host and library (the standard distributions are not), so a seed names a campaign.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace peiboard::fuzz {

__extension__ typedef unsigned __int128 Wide;  // GCC and Clang both have it

// SplitMix64 step: spreads one 64-bit value over the whole state space.
constexpr uint64_t mix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// xoshiro256** seeded through SplitMix64.
class Rng {
 public:
  explicit Rng(uint64_t seed) {
    for (auto& word : s_) word = seed = mix64(seed);
  }
  // The generator for item `index` of a campaign: independent of every other index.
  static Rng for_item(uint64_t seed, uint64_t index) { return Rng(mix64(seed) ^ mix64(~index)); }
  // A generator whose choices an outside fuzzer's bytes make: each draw takes its top 16 bits
  // from the next two bytes (so the bounded choices follow them and a changed byte changes one
  // choice), its low bits and every draw past the end from the fixed sequence of seed 0.
  // Every byte string is a sequence of choices.
  static Rng from_bytes(std::span<const uint8_t> bytes) {
    Rng rng(0);
    rng.bytes_ = bytes;
    return rng;
  }

  uint64_t next() {
    if (!bytes_.empty()) [[unlikely]] {
      uint64_t top = uint64_t{bytes_[0]} << 56;
      if (bytes_.size() > 1) top |= uint64_t{bytes_[1]} << 48;
      bytes_ = bytes_.subspan(std::min<size_t>(2, bytes_.size()));
      return top | (step() >> 16);
    }
    return step();
  }
  uint32_t u32() { return static_cast<uint32_t>(next() >> 32); }
  // Uniform in [0, bound); bound 0 gives 0. Multiply-shift keeps the bias below 2^-32.
  uint64_t below(uint64_t bound) {
    if (bound == 0) return 0;
    return static_cast<uint64_t>((static_cast<Wide>(next()) * bound) >> 64);
  }
  // Uniform in [low, high].
  uint64_t between(uint64_t low, uint64_t high) { return low + below(high - low + 1); }
  // True with probability numerator / denominator.
  bool chance(uint64_t numerator, uint64_t denominator) { return below(denominator) < numerator; }
  bool coin() { return (next() >> 63) != 0; }
  template <class T>
  T pick(std::initializer_list<T> items) {
    return items.begin()[below(items.size())];
  }
  template <class T>
  const T& pick(std::span<const T> items) {
    return items[below(items.size())];
  }

 private:
  static constexpr uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t step() {
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }
  std::span<const uint8_t> bytes_;
  uint64_t s_[4];
};

}  // namespace peiboard::fuzz
