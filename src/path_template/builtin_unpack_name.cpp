#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "path_template/expand_path_template.h"

namespace path_template {
namespace {

constexpr std::u16string_view prefix = u"onefile_";
constexpr std::size_t time_us_length = 6;
constexpr std::size_t random_length = 11;

bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool is_base64url(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || is_digit(c) || c == u'-' || c == u'_';
}

template <typename Predicate>
bool all_of(std::u16string_view text, Predicate predicate) {
  for (char16_t c : text) {
    if (!predicate(c)) return false;
  }
  return true;
}

// A process id as process_id_text writes it: decimal, no sign, no leading zero.
std::optional<std::uint32_t> process_id_of(std::u16string_view digits) {
  if (digits.empty() || digits.size() > 10 || !all_of(digits, is_digit)) return std::nullopt;
  if (digits.size() > 1 && digits[0] == u'0') return std::nullopt;
  std::uint64_t value = 0;
  for (char16_t c : digits) value = value * 10 + static_cast<std::uint64_t>(c - u'0');
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

}  // namespace

// {RANDOM} may hold "_" itself, so the name is taken apart from its end: "onefile_", the id,
// "_", six digits, "_", eleven base64url characters.
std::optional<std::uint32_t> builtin_unpack_directory_owner(std::u16string_view name) {
  constexpr std::size_t suffix = 1 + time_us_length + 1 + random_length;
  if (name.size() <= prefix.size() + suffix || name.substr(0, prefix.size()) != prefix) return std::nullopt;
  const std::size_t id_end = name.size() - suffix;
  const std::u16string_view time_us = name.substr(id_end + 1, time_us_length);
  const std::u16string_view random = name.substr(name.size() - random_length);
  if (name[id_end] != u'_' || name[id_end + 1 + time_us_length] != u'_') return std::nullopt;
  if (!all_of(time_us, is_digit) || !all_of(random, is_base64url)) return std::nullopt;
  return process_id_of(name.substr(prefix.size(), id_end - prefix.size()));
}

}  // namespace path_template
