/* The demo application's main library. The launcher loads it in the child process and calls
   the function exported under ordinal 1 (see hello.def); its result is the exit status. */
#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

static void write_utf8(const wchar_t* text) {
  char buffer[8192];
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, NULL, NULL);
  DWORD written = 0;
  if (length > 1) WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, (DWORD)(length - 1), &written, NULL);
}

static void print(const wchar_t* format, ...) {
  wchar_t line[4096];
  va_list arguments;
  va_start(arguments, format);
  _vsnwprintf(line, 4095, format, arguments);
  va_end(arguments);
  line[4095] = L'\0';
  write_utf8(line);
}

/* The unpack directory's files, found the way an application would look for its own data. */
typedef struct {
  wchar_t path[MAX_PATH];
  unsigned long long size;
} Found;

static Found found[256];
static int found_count = 0;

static void collect(const wchar_t* root, const wchar_t* relative) {
  wchar_t pattern[MAX_PATH];
  _snwprintf(pattern, MAX_PATH, relative[0] ? L"%ls\\%ls\\*" : L"%ls%ls\\*", root, relative);
  pattern[MAX_PATH - 1] = L'\0';
  WIN32_FIND_DATAW item;
  HANDLE search = FindFirstFileW(pattern, &item);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (wcscmp(item.cFileName, L".") == 0 || wcscmp(item.cFileName, L"..") == 0) continue;
    wchar_t path[MAX_PATH];
    _snwprintf(path, MAX_PATH, relative[0] ? L"%ls\\%ls" : L"%ls%ls", relative, item.cFileName);
    path[MAX_PATH - 1] = L'\0';
    if (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      collect(root, path);
    } else if (found_count < 256) {
      wcscpy(found[found_count].path, path);
      found[found_count].size = ((unsigned long long)item.nFileSizeHigh << 32) | item.nFileSizeLow;
      ++found_count;
    }
  } while (FindNextFileW(search, &item));
  FindClose(search);
}

static int by_path(const void* a, const void* b) { return wcscmp(((const Found*)a)->path, ((const Found*)b)->path); }

static void print_greeting(const wchar_t* directory) {
  wchar_t path[MAX_PATH];
  _snwprintf(path, MAX_PATH, L"%ls\\data\\greeting.txt", directory);
  path[MAX_PATH - 1] = L'\0';
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  char text[512];
  DWORD length = 0;
  if (file == INVALID_HANDLE_VALUE || !ReadFile(file, text, sizeof text - 1, &length, NULL)) length = 0;
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  text[length] = '\0';
  wchar_t greeting[512];
  MultiByteToWideChar(CP_UTF8, 0, text, -1, greeting, 512);
  print(L"%ls\n", length > 0 ? greeting : L"Hello! (data\\greeting.txt is missing)");
}

int entry(int argc, wchar_t** argv, const wchar_t* library_path) {
  wchar_t directory[MAX_PATH];
  wcsncpy(directory, library_path, MAX_PATH - 1);
  directory[MAX_PATH - 1] = L'\0';
  wchar_t* last = wcsrchr(directory, L'\\');
  if (last) *last = L'\0';

  print_greeting(directory);
  print(L"\narguments (%d):\n", argc);
  for (int i = 0; i < argc; ++i) print(L"  [%d] %ls\n", i, argv[i]);
  print(L"\nmain library: %ls\n", library_path);

  static const wchar_t* const names[] = {L"ZAMRIK_ONEFILE_PARENT", L"ZAMRIK_ONEFILE_START", L"ZAMRIK_ONEFILE_TIME_US",
                                         L"ZAMRIK_ONEFILE_RANDOM", L"ZAMRIK_ONEFILE_DIRECTORY", L"ZAMRIK_ORIGINAL_ARGV0"};
  print(L"\nenvironment:\n");
  for (int i = 0; i < 6; ++i) {
    const wchar_t* value = _wgetenv(names[i]);
    print(L"  %-24ls %ls\n", names[i], value ? value : L"(not set)");
  }

  collect(directory, L"");
  qsort(found, (size_t)found_count, sizeof found[0], by_path);
  print(L"\nunpack directory %ls:\n", directory);
  for (int i = 0; i < found_count; ++i) print(L"  %8llu  %ls\n", found[i].size, found[i].path);
  return 0;
}
