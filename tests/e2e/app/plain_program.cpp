// The test application as a plain program, started directly: what the packed application must
// see for the same command line. Same start-up as the launcher: wide entry, wildcards expanded.
#include "os/win32/windows_api.h"

extern "C" {
int _dowildcard = -1;
int main_library_entry(int argc, wchar_t** argv, const wchar_t* library_path);
}

extern "C" int wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
  wchar_t module[32768];
  GetModuleFileNameW(nullptr, module, 32768);
  return main_library_entry(__argc, __wargv, module);
}
