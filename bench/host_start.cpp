// The start-up baseline: loads a main library from an already unpacked folder the way the
// launcher's child does (its folder added to the search, LoadLibraryExW with 0xD00) and returns
// what its ordinal-1 entry returns.
#include <cstdio>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

using Entry = int (*)(int, wchar_t**, const wchar_t*);

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: host-start FOLDER MAIN_LIBRARY_PATH [ARG...]\n", stderr);
    return 2;
  }
  AddDllDirectory(argv[1]);
  HMODULE library = LoadLibraryExW(argv[2], nullptr, 0xD00);
  if (!library) return 2;
  auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(library, MAKEINTRESOURCEA(1))));
  if (!entry) return 2;
  return entry(argc - 2, argv + 2, argv[2]);
}
