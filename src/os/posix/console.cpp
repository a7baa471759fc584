#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/os.h"
#include "os/posix/text.h"

namespace os {

std::uint32_t last_error() { return static_cast<std::uint32_t>(errno); }

void abort_process() { std::abort(); }

void write_error(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void write_error(std::u16string_view text) { write_error(std::string_view(posix::to_utf8(text))); }

bool system_error_text(std::uint32_t code, std::u16string& text) {
  if (code == 0 || code > 4095) return false;
  text = posix::from_utf8(std::strerror(static_cast<int>(code)));
  return true;
}

}  // namespace os
