// Little-endian fields in byte buffers: the one place that spells out byte order for the
// host side (guest memory images, HOBs, firmware files).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace peiboard {

// Reads `N` bytes at `at` as an unsigned little-endian value. The caller has checked bounds.
template <class T>
T get_le(std::span<const uint8_t> bytes, size_t at) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(T{bytes[at + i]} << (8 * i));
  return value;
}
inline uint16_t get16(std::span<const uint8_t> bytes, size_t at) {
  return get_le<uint16_t>(bytes, at);
}
inline uint32_t get32(std::span<const uint8_t> bytes, size_t at) {
  return get_le<uint32_t>(bytes, at);
}
inline uint64_t get64(std::span<const uint8_t> bytes, size_t at) {
  return get_le<uint64_t>(bytes, at);
}

// Writes `value` as `sizeof(T)` little-endian bytes at `at`. The caller has checked bounds.
template <class T>
void put_le(std::span<uint8_t> bytes, size_t at, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
inline void put16(std::span<uint8_t> bytes, size_t at, uint16_t value) { put_le(bytes, at, value); }
inline void put32(std::span<uint8_t> bytes, size_t at, uint32_t value) { put_le(bytes, at, value); }
inline void put64(std::span<uint8_t> bytes, size_t at, uint64_t value) { put_le(bytes, at, value); }

// Appends `value` as little-endian bytes.
template <class T>
void append_le(std::vector<uint8_t>& bytes, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// `value` rounded up to a multiple of `alignment` (not zero).
inline uint64_t align_up(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// 32-bit words as little-endian bytes, in order.
inline std::vector<uint8_t> le_words(std::span<const uint32_t> words) {
  std::vector<uint8_t> bytes;
  bytes.reserve(4 * words.size());
  for (uint32_t w : words) append_le(bytes, w);
  return bytes;
}

}  // namespace peiboard
