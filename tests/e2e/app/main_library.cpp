// The test application's main library. It reports what it received on standard output, one
// "key=value" line each (text outside printable ASCII, and "%", as %XXXX in hexadecimal), then
// carries out the commands in its arguments:
//   echo                    stop here and return 0 (the arguments are only reported)
//   exit CODE               return CODE (decimal or 0x hex, up to 32 bits)
//   sleep MS                wait MS milliseconds
//   setenv NAME VALUE       change the environment for what comes next
//   unsetenv NAME
//   exists NAME             report whether NAME exists in the library's directory
//   delete NAME             delete NAME in the library's directory
//   hold NAME HOLDER MS     open NAME in the library's directory without sharing, and start
//                           "HOLDER --sleep MS", which inherits the open handle
//   run PROGRAM ARG...      start PROGRAM with the remaining arguments, wait, return its code
//   start PROGRAM ARGS      start "PROGRAM" ARGS detached (no handles, no console), report its
//                           id and go on without waiting
//   crash                   write through a null pointer
//   on-ctrl-c MS CODE       on Ctrl+C or Ctrl+Break report "ctrl-c event=N", wait MS
//                           milliseconds, report "ctrl-c done" and end with CODE
//   console-write TEXT      write TEXT and a line break to the console this process is
//                           attached to (CONOUT$), not to its standard output
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "os/win32/windows_api.h"

namespace {

void write_out(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string escaped(const wchar_t* text) {
  std::string out;
  for (; *text != L'\0'; ++text) {
    if (*text >= 0x20 && *text < 0x7F && *text != L'%') {
      out += static_cast<char>(*text);
    } else {
      char unit[8];
      std::snprintf(unit, sizeof unit, "%%%04X", static_cast<unsigned>(*text));
      out += unit;
    }
  }
  return out;
}

void report(const std::string& key, const wchar_t* value) { write_out(key + "=" + escaped(value) + "\n"); }

std::wstring directory_of(const wchar_t* path) {
  std::wstring directory = path;
  return directory.substr(0, directory.rfind(L'\\'));
}

std::wstring quoted(const std::wstring& argument) { return L"\"" + argument + L"\""; }

void report_environment(const char* name) {
  std::wstring wide_name(name, name + std::strlen(name));
  wchar_t value[32768];
  SetLastError(0);
  const DWORD length = GetEnvironmentVariableW(wide_name.c_str(), value, 32768);
  if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
    write_out(std::string("env ") + name + " unset\n");
  } else {
    report(std::string("env ") + name, length == 0 ? L"" : value);
  }
}

DWORD start_and_maybe_wait(const std::wstring& program, std::wstring command_line, bool wait) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    write_out("start failed=" + std::to_string(GetLastError()) + "\n");
    return 98;
  }
  CloseHandle(process.hThread);
  DWORD code = 0;
  if (wait) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
  }
  CloseHandle(process.hProcess);
  return code;
}

DWORD start_detached(const std::wstring& program, const std::wstring& arguments) {
  std::wstring command_line = quoted(program) + L" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                      &startup, &process)) {
    write_out("start failed=" + std::to_string(GetLastError()) + "\n");
    return 0;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return process.dwProcessId;
}

DWORD ctrl_c_delay = 0;
DWORD ctrl_c_code = 0;

BOOL WINAPI on_ctrl_c(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  write_out("ctrl-c event=" + std::to_string(event) + "\n");
  Sleep(ctrl_c_delay);
  write_out("ctrl-c done\n");
  ExitProcess(ctrl_c_code);
}

int finish(DWORD code) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  write_out("return=" + std::to_string(code) + "\ntime=" + std::to_string(ticks) + "\n");
  return static_cast<int>(code);
}

}  // namespace

extern "C" int main_library_entry(int argc, wchar_t** argv, const wchar_t* library_path) {
  write_out("report pid=" + std::to_string(GetCurrentProcessId()) + "\n");
  write_out("argc=" + std::to_string(argc) + "\n");
  for (int i = 0; i < argc; ++i) report("argv[" + std::to_string(i) + "]", argv[i]);
  report("library", library_path);
  wchar_t text[32768];
  GetModuleFileNameW(nullptr, text, 32768);
  report("module", text);
  GetCurrentDirectoryW(32768, text);
  report("cwd", text);
  // The six, and the marker of a child, which the child takes away before it gets here.
  for (const char* name : {"ZAMRIK_ONEFILE_PARENT", "ZAMRIK_ONEFILE_START", "ZAMRIK_ONEFILE_TIME_US", "ZAMRIK_ONEFILE_RANDOM",
                           "ZAMRIK_ONEFILE_DIRECTORY", "ZAMRIK_ORIGINAL_ARGV0", "ZAMRIK_ONEFILE_CHILD"}) {
    report_environment(name);
  }

  const std::wstring directory = directory_of(library_path);
  for (int i = 1; i < argc; ++i) {
    const std::wstring command = argv[i];
    const auto argument = [&](int offset) -> const wchar_t* { return i + offset < argc ? argv[i + offset] : L""; };
    if (command == L"echo") {
      return finish(0);
    } else if (command == L"exit") {
      return finish(std::wcstoul(argument(1), nullptr, 0));
    } else if (command == L"sleep") {
      Sleep(std::wcstoul(argument(1), nullptr, 0));
      i += 1;
    } else if (command == L"setenv") {
      SetEnvironmentVariableW(argument(1), argument(2));
      i += 2;
    } else if (command == L"unsetenv") {
      SetEnvironmentVariableW(argument(1), nullptr);
      i += 1;
    } else if (command == L"exists") {
      const bool exists = GetFileAttributesW((directory + L"\\" + argument(1)).c_str()) != INVALID_FILE_ATTRIBUTES;
      write_out("exists " + escaped(argument(1)) + "=" + (exists ? "yes" : "no") + "\n");
      i += 1;
    } else if (command == L"delete") {
      const bool deleted = DeleteFileW((directory + L"\\" + argument(1)).c_str()) != 0;
      write_out("delete " + escaped(argument(1)) + "=" + (deleted ? "ok" : "failed") + "\n");
      i += 1;
    } else if (command == L"hold") {
      SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
      HANDLE file = CreateFileW((directory + L"\\" + argument(1)).c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
      write_out(std::string("hold=") + (file != INVALID_HANDLE_VALUE ? "ok" : "failed") + "\n");
      start_and_maybe_wait(argument(2), quoted(argument(2)) + L" --sleep " + argument(3), false);
      CloseHandle(file);
      i += 3;
    } else if (command == L"run") {
      std::wstring command_line = quoted(argument(1));
      for (int k = i + 2; k < argc; ++k) command_line += L" " + quoted(argv[k]);
      return finish(start_and_maybe_wait(argument(1), command_line, true));
    } else if (command == L"start") {
      write_out("started=" + std::to_string(start_detached(argument(1), argument(2))) + "\n");
      i += 2;
    } else if (command == L"on-ctrl-c") {
      ctrl_c_delay = std::wcstoul(argument(1), nullptr, 0);
      ctrl_c_code = std::wcstoul(argument(2), nullptr, 0);
      write_out(std::string("on-ctrl-c=") + (SetConsoleCtrlHandler(on_ctrl_c, TRUE) ? "ok" : "failed") + "\n");
      i += 2;
    } else if (command == L"console-write") {
      HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
      const std::string line = escaped(argument(1)) + "\r\n";
      DWORD written = 0;
      const bool ok = console != INVALID_HANDLE_VALUE && WriteFile(console, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
      if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
      write_out(std::string("console-write=") + (ok ? "ok" : "failed") + "\n");
      i += 1;
    } else if (command == L"crash") {
      // No debugger: the process ends with the exception's code, as an unwatched crash does.
      SetUnhandledExceptionFilter([](EXCEPTION_POINTERS*) -> LONG { return EXCEPTION_EXECUTE_HANDLER; });
      int* volatile nowhere = nullptr;
      *nowhere = 1;
    } else {
      report("unknown", command.c_str());
      return finish(99);
    }
  }
  return finish(0);
}
