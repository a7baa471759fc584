#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/os.h"

namespace os {
namespace {

// UTF-8 of text into out, which holds 3 bytes per unit; a lone surrogate becomes U+FFFD. The
// length stored.
std::size_t encode_utf8(std::u16string_view text, char* out) {
  char* const start = out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *out++ = static_cast<char>(0xC0 | (c >> 6));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *out++ = static_cast<char>(0xE0 | (c >> 12));
      *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *out++ = static_cast<char>(0xF0 | (c >> 18));
      *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return static_cast<std::size_t>(out - start);
}

}  // namespace

std::uint32_t last_error() { return static_cast<std::uint32_t>(errno); }

// A POSIX program always has its three descriptors to write to, and no message boxes.
bool standard_stream_usable(StandardStream) { return true; }
bool graphical_program() { return false; }
bool show_message_box(const char16_t*, const char16_t*) { return false; }

void abort_process() { std::abort(); }

void write_error(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

// Piece by piece through a fixed buffer, never splitting a surrogate pair.
void write_error(std::u16string_view text) {
  constexpr std::size_t piece_units = 1024;
  char utf8[3 * piece_units];
  while (!text.empty()) {
    std::size_t units = std::min(text.size(), piece_units);
    if (units < text.size() && text[units - 1] >= 0xD800 && text[units - 1] <= 0xDBFF) --units;
    write_error(std::string_view(utf8, encode_utf8(text.substr(0, units), utf8)));
    text.remove_prefix(units);
  }
}

std::uint32_t system_error_text(std::uint32_t code, char16_t* buffer, std::uint32_t capacity) {
  if (code == 0 || code > 4095) return 0;
  // The C locale's texts are ASCII.
  const char* text = std::strerror(static_cast<int>(code));
  const std::size_t length = std::strlen(text);
  if (length >= capacity) return 0;
  for (std::size_t i = 0; i <= length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    buffer[i] = byte < 0x80 ? byte : u'\uFFFD';
  }
  return static_cast<std::uint32_t>(length);
}

}  // namespace os
