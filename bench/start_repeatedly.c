/* Starts a command line N times, one after another, under the same Wine server, and prints the
 * median, fastest and slowest time from CreateProcessW to the end of the process, in ms:
 *   zamrik-bench-start-repeatedly N "COMMAND LINE" */
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

static double now_ms(void) {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return (double)counter.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

static int ascending(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

int wmain(int argc, wchar_t** argv) {
  enum { most = 1000 };
  static double times[most];
  static wchar_t line[32768];
  const int runs = argc == 3 ? _wtoi(argv[1]) : 0;
  if (runs < 1 || runs > most || wcslen(argv[2]) >= 32768) {
    fputs("usage: zamrik-bench-start-repeatedly N \"COMMAND LINE\" (N from 1 to 1000)\n", stderr);
    return 2;
  }
  for (int i = 0; i < runs; ++i) {
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    wcscpy(line, argv[2]);  /* CreateProcessW may write into the line */
    const double started = now_ms();
    if (!CreateProcessW(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
      fprintf(stderr, "zamrik-bench-start-repeatedly: CreateProcessW failed (%lu)\n", GetLastError());
      return 2;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    times[i] = now_ms() - started;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  qsort(times, (size_t)runs, sizeof times[0], ascending);
  printf("median %.1f ms, fastest %.1f, slowest %.1f\n", times[runs / 2], times[0], times[runs - 1]);
  return 0;
}
