#include <atomic>

#include "os/os.h"
#include "os/win32/windows_api.h"

#include <psapi.h>  // after windows_api.h, which settles how <windows.h> is included

namespace os {

using win32::wide;

Handle open_process_for_query(std::uint32_t process_id) {
  return OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id);
}

std::uint32_t process_image_path(Handle process, char16_t* buffer, std::uint32_t capacity) {
  return K32GetModuleFileNameExW(process, nullptr, wide(buffer), capacity);
}

namespace {

std::atomic<ConsoleEventHandler> console_event_handler{nullptr};

BOOL WINAPI forward_console_event(DWORD event) { return console_event_handler.load()(event); }

}  // namespace

bool add_console_event_handler(ConsoleEventHandler handler) {
  console_event_handler.store(handler);
  return SetConsoleCtrlHandler(forward_console_event, TRUE) != 0;
}

Handle create_child_process(const char16_t* application, char16_t* command_line) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(wide(application), wide(command_line), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                      nullptr, &startup, &process)) {
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

std::uint32_t wait_for(Handle process, std::uint32_t milliseconds) { return WaitForSingleObject(process, milliseconds); }

bool exit_code_of(Handle process, std::uint32_t* code) {
  DWORD value = 0;
  if (!GetExitCodeProcess(process, &value)) return false;
  *code = value;
  return true;
}

void terminate(Handle process, std::uint32_t code) { TerminateProcess(process, code); }

Handle duplicate_handle(Handle handle) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) return nullptr;
  return copy;
}

void sleep_milliseconds(std::uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace os
