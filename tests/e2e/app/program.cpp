// The test application as a program of its own, for the runner: the same report and commands as
// the main library, with the program's own path where the library's would be. Built once for the
// console and once for the graphical subsystem.
#include "os/win32/windows_api.h"

extern "C" int main_library_entry(int argc, wchar_t** argv, const wchar_t* library_path);

namespace {

int run_as_application() {
  wchar_t path[32768];
  GetModuleFileNameW(nullptr, path, 32768);
  return main_library_entry(__argc, __wargv, path);
}

}  // namespace

#ifdef GRAPHICAL_PROGRAM
int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) { return run_as_application(); }
#else
extern "C" int wmain(int, wchar_t**) { return run_as_application(); }
#endif
