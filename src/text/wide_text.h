// The text rules that the launcher, its POSIX backend and the packer share: UTF-8 <-> UTF-16
// conversion, ASCII case folding, and the length of a string inside a fixed buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace text {

// Strict conversions: nothing when the input has no exact counterpart. UTF-8 is refused for a
// stray continuation byte, a lead byte C0, C1 or F5 to FF, a sequence cut short or broken by a
// byte that does not continue it, an overlong form, an encoded surrogate, or a code point past
// U+10FFFF; UTF-16 for an unpaired surrogate.
std::optional<std::u16string> to_utf16(std::string_view utf8);
std::optional<std::string> to_utf8(std::u16string_view utf16);

// For text that must pass anyway (the POSIX boundary, messages): what the strict conversions
// refuse becomes U+FFFD, one for each maximal subpart of an ill-formed sequence (Unicode's
// recommended practice): "\xE6\x97(" gives u"\uFFFD(", "\xED\xA0\x80" (a surrogate) three.
std::u16string to_utf16_replacing(std::string_view utf8);
std::string to_utf8_replacing(std::u16string_view utf16);
// The same into a buffer, for callers that must not allocate: out holds utf8_bytes_per_unit
// bytes for each unit of utf16 (a pair's four bytes come from two units). The length stored.
inline constexpr std::size_t utf8_bytes_per_unit = 3;
std::size_t to_utf8_replacing(std::u16string_view utf16, char* out);

// Letters compare without regard to case as _wcsicmp does in the default locale: ASCII only.
constexpr char16_t ascii_upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

constexpr bool equal_ignoring_case(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
  }
  return true;
}

std::u16string fold_case(std::u16string_view text);

// A whole number written with the digits 0 to 9 alone (no sign, no blank, leading zeros allowed)
// and at most most; nothing for any other text, the empty text included.
std::optional<std::uint64_t> parse_decimal(std::u16string_view text, std::uint64_t most);

// The length of the terminated string in a buffer of capacity units, or capacity when no
// terminator lies within it.
constexpr std::size_t bounded_length(const char16_t* text, std::size_t capacity) {
  std::size_t length = 0;
  while (length < capacity && text[length] != u'\0') ++length;
  return length;
}

// Ends the terminated path at its last "\", so that it names the directory above: the name that
// followed, still in the same buffer behind the new terminator; null, and the path unchanged,
// when it has no "\".
constexpr char16_t* cut_to_parent(char16_t* path) {
  char16_t* last_backslash = nullptr;
  for (char16_t* c = path; *c != u'\0'; ++c) {
    if (*c == u'\\') last_backslash = c;
  }
  if (last_backslash == nullptr) return nullptr;
  *last_backslash = u'\0';
  return last_backslash + 1;
}

}  // namespace text
