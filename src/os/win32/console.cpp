#include <io.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "os/os.h"
#include "os/win32/system_functions.h"
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
  // Piece by piece through a fixed buffer, never splitting a surrogate pair.
  constexpr std::size_t piece_units = 1024;
  char utf8[3 * piece_units];
  while (!text.empty()) {
    std::size_t units = std::min(text.size(), piece_units);
    if (units < text.size() && text[units - 1] >= 0xD800 && text[units - 1] <= 0xDBFF) --units;
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide(text.data()), static_cast<int>(units), utf8, sizeof utf8, nullptr, nullptr);
    if (size <= 0) return;
    write_error(std::string_view(utf8, static_cast<std::size_t>(size)));
    text.remove_prefix(units);
  }
}

bool standard_stream_usable(StandardStream stream) {
  const HANDLE handle = GetStdHandle(stream == StandardStream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  SetLastError(NO_ERROR);
  return GetFileType(handle) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
}

bool graphical_program() {
  const auto* image = reinterpret_cast<const std::uint8_t*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
  return headers->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

bool show_message_box(const char16_t* text, const char16_t* title) {
  // Loaded here only: every start of the launcher would otherwise pay for it.
  const auto message_box = win32::message_box();
  return message_box != nullptr && message_box(nullptr, wide(text), wide(title), MB_OK | MB_ICONERROR | MB_SETFOREGROUND) != 0;
}

std::uint32_t system_error_text(std::uint32_t code, char16_t* buffer, std::uint32_t capacity) {
  return FormatMessageW(FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, wide(buffer), capacity, nullptr);
}

}  // namespace os
