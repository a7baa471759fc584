// The test application as a console program, for the runner to start: the same report and
// commands as the main library, with the program's own path where the library's would be.
#include "os/win32/windows_api.h"

extern "C" int main_library_entry(int argc, wchar_t** argv, const wchar_t* library_path);

extern "C" int wmain(int argc, wchar_t** argv) {
  wchar_t module[32768];
  GetModuleFileNameW(nullptr, module, 32768);
  return main_library_entry(argc, argv, module);
}
