// Starts a command, follows its memory figures as the system reports them while it runs, and
// prints the peaks it saw as one JSON object. The peaks are kept by the system, so polling only
// has to catch the process alive near its end; the last answer before it exits is the figure.
#include <cstdio>
#include <string>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <psapi.h>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fputs("usage: memory-probe COMMAND [ARG...]\n", stderr);
    return 2;
  }
  std::wstring command;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) command += L' ';
    command += L'"';
    command += argv[i];
    command += L'"';
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    std::fprintf(stderr, "memory-probe: cannot start the command (error %lu)\n", GetLastError());
    return 2;
  }
  PROCESS_MEMORY_COUNTERS seen{};
  int answers = 0;
  for (;;) {
    PROCESS_MEMORY_COUNTERS now{};
    if (GetProcessMemoryInfo(process.hProcess, &now, sizeof now)) {
      if (now.PeakWorkingSetSize > seen.PeakWorkingSetSize) seen.PeakWorkingSetSize = now.PeakWorkingSetSize;
      if (now.PeakPagefileUsage > seen.PeakPagefileUsage) seen.PeakPagefileUsage = now.PeakPagefileUsage;
      ++answers;
    }
    if (WaitForSingleObject(process.hProcess, 2) == WAIT_OBJECT_0) break;
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  std::printf("{\"exit_code\": %lu, \"peak_working_set\": %llu, \"peak_pagefile_usage\": %llu, \"answers\": %d}\n", code,
              static_cast<unsigned long long>(seen.PeakWorkingSetSize),
              static_cast<unsigned long long>(seen.PeakPagefileUsage), answers);
  return 0;
}
