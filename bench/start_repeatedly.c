/* Starts each command line N times under the same Wine server, one after another, the command
 * lines in turns (in reverse order every other round), and prints for each the median, the
 * quartiles and the fastest time from CreateProcessW to the end of the process, in ms:
 *   zamrik-bench-start-repeatedly N "COMMAND LINE" ["COMMAND LINE" ...] */
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

enum { most_runs = 1000, most_lines = 8 };

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

/* The time one start of the line took; negative when it could not be started. */
static double time_one_start(const wchar_t* command_line) {
  static wchar_t line[32768];
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  wcscpy(line, command_line); /* CreateProcessW may write into the line */
  const double started = now_ms();
  if (!CreateProcessW(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
    fprintf(stderr, "zamrik-bench-start-repeatedly: CreateProcessW failed (%lu)\n", GetLastError());
    return -1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  const double took = now_ms() - started;
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return took;
}

int wmain(int argc, wchar_t** argv) {
  static double times[most_lines][most_runs];
  const int runs = argc >= 3 ? _wtoi(argv[1]) : 0;
  const int lines = argc - 2;
  int usable = runs >= 1 && runs <= most_runs && lines <= most_lines;
  for (int k = 0; usable && k < lines; ++k) usable = wcslen(argv[2 + k]) < 32768;
  if (!usable) {
    fputs("usage: zamrik-bench-start-repeatedly N \"COMMAND LINE\" [\"COMMAND LINE\" ...] (N from 1 to 1000, "
          "at most 8 lines)\n",
          stderr);
    return 2;
  }
  for (int i = 0; i < runs; ++i) {
    for (int j = 0; j < lines; ++j) {
      const int k = i % 2 == 0 ? j : lines - 1 - j;
      if ((times[k][i] = time_one_start(argv[2 + k])) < 0) return 2;
    }
  }
  for (int k = 0; k < lines; ++k) {
    qsort(times[k], (size_t)runs, sizeof times[k][0], ascending);
    printf("%ls: median %.1f ms, quartiles %.1f and %.1f, fastest %.1f\n", argv[2 + k], times[k][runs / 2],
           times[k][runs / 4], times[k][3 * runs / 4], times[k][0]);
  }
  return 0;
}
