#include "text/wide_text.h"

namespace text {
namespace {

constexpr char32_t replacement = 0xFFFD;

struct Decoded {
  std::optional<char32_t> code;  // nothing for an ill-formed sequence
  std::size_t length;            // bytes taken: the whole sequence, or its maximal ill-formed subpart
};

// The well-formed sequences, by lead byte: how many bytes follow, and the range of the first of
// them (the ranges shut out overlong forms, surrogates and code points past U+10FFFF); every
// later byte lies in 80..BF.
Decoded decode_one(std::string_view utf8, std::size_t at) {
  const auto lead = static_cast<unsigned char>(utf8[at]);
  if (lead < 0x80) return {lead, 1};
  std::size_t extra = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  char32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, code = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, code = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {std::nullopt, 1};
  }
  for (std::size_t k = 1; k <= extra; ++k) {
    if (at + k == utf8.size()) return {std::nullopt, k};
    const auto next = static_cast<unsigned char>(utf8[at + k]);
    if (next < low || next > high) return {std::nullopt, k};
    low = 0x80;
    high = 0xBF;
    code = code << 6 | (next & 0x3F);
  }
  return {code, extra + 1};
}

void append_utf16(std::u16string& out, char32_t code) {
  if (code >= 0x10000) {
    out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
    out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
  } else {
    out += static_cast<char16_t>(code);
  }
}

// The code point's UTF-8 bytes into out, which holds four: how many.
std::size_t put_utf8(char* out, char32_t code) {
  if (code < 0x80) {
    out[0] = static_cast<char>(code);
    return 1;
  }
  if (code < 0x800) {
    out[0] = static_cast<char>(0xC0 | code >> 6);
    out[1] = static_cast<char>(0x80 | (code & 0x3F));
    return 2;
  }
  if (code < 0x10000) {
    out[0] = static_cast<char>(0xE0 | code >> 12);
    out[1] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out[2] = static_cast<char>(0x80 | (code & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | code >> 18);
  out[1] = static_cast<char>(0x80 | (code >> 12 & 0x3F));
  out[2] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
  out[3] = static_cast<char>(0x80 | (code & 0x3F));
  return 4;
}

void append_utf8(std::string& out, char32_t code) {
  char bytes[4];
  out.append(bytes, put_utf8(bytes, code));
}

bool is_high_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The code point at text[i], advancing i past a surrogate pair; nothing for an unpaired
// surrogate.
std::optional<char32_t> next_code(std::u16string_view text, std::size_t& i) {
  const char32_t unit = text[i];
  if (is_high_surrogate(unit) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
    return 0x10000 + ((unit - 0xD800) << 10) + (text[++i] - 0xDC00);
  }
  if (is_high_surrogate(unit) || is_low_surrogate(unit)) return std::nullopt;
  return unit;
}

}  // namespace

std::optional<std::u16string> to_utf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const Decoded decoded = decode_one(utf8, i);
    if (!decoded.code) return std::nullopt;
    append_utf16(out, *decoded.code);
    i += decoded.length;
  }
  return out;
}

std::u16string to_utf16_replacing(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const Decoded decoded = decode_one(utf8, i);
    append_utf16(out, decoded.code.value_or(replacement));
    i += decoded.length;
  }
  return out;
}

std::optional<std::string> to_utf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const std::optional<char32_t> code = next_code(utf16, i);
    if (!code) return std::nullopt;
    append_utf8(out, *code);
  }
  return out;
}

std::string to_utf8_replacing(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) append_utf8(out, next_code(utf16, i).value_or(replacement));
  return out;
}

std::size_t to_utf8_replacing(std::u16string_view utf16, char* out) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < utf16.size(); ++i) length += put_utf8(out + length, next_code(utf16, i).value_or(replacement));
  return length;
}

std::u16string fold_case(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = ascii_upper(c);
  return out;
}

std::optional<std::uint64_t> parse_decimal(std::u16string_view text, std::uint64_t most) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - u'0');
    if (value > (most - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace text
