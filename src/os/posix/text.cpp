#include "os/posix/text.h"

#include <cstdint>

namespace os::posix {

std::string to_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string from_utf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::uint32_t c = 0xFFFD;
    std::size_t length = 1;
    if (byte < 0x80) {
      c = byte;
    } else if ((byte & 0xE0) == 0xC0) {
      length = 2;
      c = byte & 0x1F;
    } else if ((byte & 0xF0) == 0xE0) {
      length = 3;
      c = byte & 0x0F;
    } else if ((byte & 0xF8) == 0xF0) {
      length = 4;
      c = byte & 0x07;
    }
    if (length > 1) {
      if (i + length > text.size()) {
        c = 0xFFFD;
        length = 1;
      } else {
        for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
      }
    }
    i += length;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::string native_path(const char16_t* path) {
  std::string out = to_utf8(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

std::u16string launcher_path(std::string_view path) {
  std::u16string out = from_utf8(path);
  for (char16_t& c : out) {
    if (c == u'/') c = u'\\';
  }
  return out;
}

std::uint32_t store_text(std::u16string_view text, char16_t* out, std::uint32_t capacity) {
  const auto needed = static_cast<std::uint32_t>(text.size() + 1);
  if (out == nullptr || needed > capacity) return needed;
  text.copy(out, text.size());
  out[text.size()] = u'\0';
  return needed - 1;
}

}  // namespace os::posix
