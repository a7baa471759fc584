// Integers as the attached data, the run record and the PE format store them: little-endian, at
// any address. Reading byte by byte keeps the result independent of the host's byte order and of
// alignment; compilers turn these loops into single loads and stores.
#pragma once

#include <cstdint>

namespace little_endian {

inline std::uint16_t load_u16(const void* at) {
  const auto* p = static_cast<const unsigned char*>(at);
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t load_u32(const void* at) {
  const auto* p = static_cast<const unsigned char*>(at);
  return std::uint32_t{load_u16(p)} | std::uint32_t{load_u16(p + 2)} << 16;
}
inline std::uint64_t load_u64(const void* at) {
  const auto* p = static_cast<const unsigned char*>(at);
  return std::uint64_t{load_u32(p)} | std::uint64_t{load_u32(p + 4)} << 32;
}

inline void store_u16(void* at, std::uint16_t value) {
  auto* p = static_cast<unsigned char*>(at);
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
}
inline void store_u32(void* at, std::uint32_t value) {
  auto* p = static_cast<unsigned char*>(at);
  store_u16(p, static_cast<std::uint16_t>(value));
  store_u16(p + 2, static_cast<std::uint16_t>(value >> 16));
}
inline void store_u64(void* at, std::uint64_t value) {
  auto* p = static_cast<unsigned char*>(at);
  store_u32(p, static_cast<std::uint32_t>(value));
  store_u32(p + 4, static_cast<std::uint32_t>(value >> 32));
}

// Appends to a growing byte string: a std::string or a std::vector of bytes.
template <class Bytes>
void append_u16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<typename Bytes::value_type>(value & 0xFF));
  out.push_back(static_cast<typename Bytes::value_type>(value >> 8));
}
template <class Bytes>
void append_u32(Bytes& out, std::uint32_t value) {
  append_u16(out, static_cast<std::uint16_t>(value));
  append_u16(out, static_cast<std::uint16_t>(value >> 16));
}
template <class Bytes>
void append_u64(Bytes& out, std::uint64_t value) {
  append_u32(out, static_cast<std::uint32_t>(value));
  append_u32(out, static_cast<std::uint32_t>(value >> 32));
}

}  // namespace little_endian
