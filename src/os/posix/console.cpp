#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/os.h"
#include "text/wide_text.h"

namespace os {

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
void write_error(std::u16string_view message) {
  constexpr std::size_t piece_units = 1024;
  char utf8[text::utf8_bytes_per_unit * piece_units];
  while (!message.empty()) {
    std::size_t units = std::min(message.size(), piece_units);
    if (units < message.size() && message[units - 1] >= 0xD800 && message[units - 1] <= 0xDBFF) --units;
    write_error(std::string_view(utf8, text::to_utf8_replacing(message.substr(0, units), utf8)));
    message.remove_prefix(units);
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
