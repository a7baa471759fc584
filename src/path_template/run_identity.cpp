#include "path_template/run_identity.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "text/wide_text.h"

namespace path_template {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::uint32_t halves(std::uint64_t value) {
  return static_cast<std::uint32_t>(value) ^ static_cast<std::uint32_t>(value >> 32);
}

}  // namespace

std::uint32_t random_seed(std::uint64_t counter, std::uint64_t counter_address, std::uint32_t process_id) {
  return halves(counter) ^ halves(counter_address) ^ process_id;
}

std::array<std::uint8_t, 8> random_bytes(std::uint32_t seed) {
  // xorshift32 never leaves 0.
  std::uint32_t x = seed != 0 ? seed : 1;
  std::array<std::uint8_t, 8> bytes{};
  for (std::uint8_t& byte : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<std::uint8_t>(x);
  }
  return bytes;
}

RandomText base64url(const std::array<std::uint8_t, 8>& bytes) {
  RandomText text{};
  std::size_t out = 0;
  std::uint32_t bits = 0;
  int pending = 0;
  for (std::uint8_t byte : bytes) {
    bits = (bits << 8) | byte;
    pending += 8;
    for (; pending >= 6; pending -= 6) text[out++] = alphabet[(bits >> (pending - 6)) & 63];
  }
  // 64 bits leave 4; they fill the top of the last character.
  text[out++] = alphabet[(bits << (6 - pending)) & 63];
  text[out] = '\0';
  return text;
}

RandomText random_text(std::uint32_t seed) { return base64url(random_bytes(seed)); }

std::uint32_t microsecond_of(std::int64_t file_time) {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(file_time) / 10 % 1000000);
}

DecimalText microsecond_text(std::int64_t file_time) {
  DecimalText text{};
  std::snprintf(text.data(), text.size(), "%06" PRIu32, microsecond_of(file_time));
  return text;
}

DecimalText file_time_text(std::int64_t file_time) {
  DecimalText text{};
  std::snprintf(text.data(), text.size(), "%" PRId64, file_time);
  return text;
}

DecimalText process_id_text(std::uint32_t process_id) {
  DecimalText text{};
  std::snprintf(text.data(), text.size(), "%" PRIu32, process_id);
  return text;
}

std::optional<std::uint32_t> parse_process_id_text(std::u16string_view text) {
  const std::optional<std::uint64_t> value = text::parse_decimal(text, INT32_MAX);
  if (!value) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

}  // namespace path_template
