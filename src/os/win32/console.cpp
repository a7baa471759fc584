#include <io.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "os/os.h"
#include "os/win32/windows_api.h"

namespace os {

using win32::wide;

std::uint32_t last_error() { return GetLastError(); }

void abort_process() {
  // abort() of a graphical program shows a dialog; end the same way without it.
  std::fflush(nullptr);
  std::signal(SIGABRT, SIG_DFL);
  std::raise(SIGABRT);
  _exit(3);
}

void write_error(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void write_error(std::u16string_view text) {
  if (text.empty()) return;
  std::fflush(stderr);
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stderr)));
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
    DWORD written = 0;
    WriteConsoleW(handle, wide(text.data()), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide(text.data()), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (size <= 0) return;
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide(text.data()), static_cast<int>(text.size()), utf8.data(), size, nullptr, nullptr);
  write_error(std::string_view(utf8));
}

bool system_error_text(std::uint32_t code, std::u16string& text) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                                      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0 || buffer == nullptr) return false;
  text.assign(reinterpret_cast<const char16_t*>(buffer), length);
  LocalFree(buffer);
  return true;
}

}  // namespace os
