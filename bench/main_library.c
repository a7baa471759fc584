/* The benchmark application's main library. Its entry returns 0 at once, so a run through the
   launcher measures the launcher alone. Only when ZAMRIK_BENCH_MEMORY_REPORT names a file does
   it first write the memory figures of the process that loaded it there, as one JSON object:
   the launcher's child does nothing before it calls the entry, so those are the child's peaks. */
#include <stdio.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <psapi.h>

static int report_memory(const char* report) {
  PROCESS_MEMORY_COUNTERS counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 3;
  FILE* out = fopen(report, "w");
  if (!out) return 4;
  fprintf(out, "{\"peak_working_set\": %llu, \"peak_pagefile_usage\": %llu}\n",
          (unsigned long long)counters.PeakWorkingSetSize, (unsigned long long)counters.PeakPagefileUsage);
  fclose(out);
  return 0;
}

int bench_entry(int argc, const void* argv, const void* path) {
  char report[1024];
  (void)argc;
  (void)argv;
  (void)path;
  DWORD length = GetEnvironmentVariableA("ZAMRIK_BENCH_MEMORY_REPORT", report, sizeof report);
  if (length == 0 || length >= sizeof report) return 0;
  return report_memory(report);
}
