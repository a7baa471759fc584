// A console program that starts a launcher on its console, as a command prompt does:
//   console_host WAIT_FOR CTRL_C PROGRAM ARGUMENTS
// It starts "PROGRAM" ARGUMENTS attached to its console with the console as its standard
// handles, waits until a screen line starts with WAIT_FOR, then (with CTRL_C "yes")
// sends Ctrl+C to every process of the console, itself excepted, and waits for the program. On
// its standard output, which must not be the console, it reports:
//   exit=CODE  elapsed_ms=MS (from the Ctrl+C, or the start, to the program's end)
//   generate=ok|failed  seen=yes|no
//   screen=LINE (one for each line of the console's screen that is not blank)
#include <string>
#include <vector>

#include "os/win32/windows_api.h"

namespace {

HANDLE report_to = nullptr;

void report(const std::string& line) {
  const std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(report_to, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

std::vector<std::string> screen_lines(HANDLE console) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  std::vector<std::string> lines;
  if (!GetConsoleScreenBufferInfo(console, &info)) {
    report("screen info failed=" + std::to_string(GetLastError()));
    return lines;
  }
  const SHORT width = info.dwSize.X;
  std::wstring row(static_cast<std::size_t>(width), L' ');
  for (SHORT y = 0; y <= info.dwCursorPosition.Y && y < info.dwSize.Y; ++y) {
    DWORD read = 0;
    if (!ReadConsoleOutputCharacterW(console, row.data(), static_cast<DWORD>(width), {0, y}, &read)) {
      report("screen read failed=" + std::to_string(GetLastError()));
      break;
    }
    std::string line = narrow(row.substr(0, read));
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  report_to = GetStdHandle(STD_OUTPUT_HANDLE);
  if (argc < 4) {
    report("usage: console_host WAIT_FOR CTRL_C PROGRAM ARGUMENTS");
    return 2;
  }
  const std::string wait_for = narrow(argv[1]);
  const bool send_ctrl_c = std::wstring(argv[2]) == L"yes";
  // Under Wine a console works only where Wine made it from a terminal, as for a program
  // started in one: the test runs this program so, and it uses that console.
  if (GetConsoleCP() == 0) {
    report("console=none");
    return 3;
  }
  // Its own Ctrl+C goes nowhere: only the program's processes act on it. (A null handler would
  // do the same, but its "ignore Ctrl+C" is inherited by every process started after it.)
  SetConsoleCtrlHandler([](DWORD) -> BOOL { return TRUE; }, TRUE);
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             OPEN_EXISTING, 0, nullptr);
  HANDLE output = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                              OPEN_EXISTING, 0, nullptr);
  // Room for every line of a run, none scrolled away.
  SetConsoleScreenBufferSize(output, {200, 1000});
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = output;
  std::wstring command_line = L"\"" + std::wstring(argv[3]) + L"\"";
  for (int i = 4; i < argc; ++i) command_line += std::wstring(L" ") + argv[i];
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(argv[3], command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    report("start=failed " + std::to_string(GetLastError()));
    return 2;
  }
  CloseHandle(process.hThread);

  bool seen = false;
  for (int waited = 0; !seen && waited < 60000; waited += 50) {
    for (const std::string& line : screen_lines(output)) seen = seen || line.rfind(wait_for, 0) == 0;
    if (!seen && WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) break;
  }
  report(std::string("seen=") + (seen ? "yes" : "no"));
  const ULONGLONG from = GetTickCount64();
  if (send_ctrl_c) report(std::string("generate=") + (GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) ? "ok" : "failed"));
  const bool ended = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
  const ULONGLONG elapsed = GetTickCount64() - from;
  if (!ended) TerminateProcess(process.hProcess, 1);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  report("exit=" + std::to_string(code));
  report("elapsed_ms=" + std::to_string(elapsed));
  for (const std::string& line : screen_lines(output)) report("screen=" + line);
  return 0;
}
