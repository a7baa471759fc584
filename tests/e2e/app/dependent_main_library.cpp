// A main library in a subfolder of the application that imports own.dll, which lies beside it,
// and shared.dll, which lies in the unpack directory. It reports which copy of each was loaded,
// and from where, in the test application's "key=value" form.
#include <string>

#include "os/win32/windows_api.h"

extern "C" const char* own_origin();
extern "C" const char* shared_origin();

namespace {

void write_out(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// The module's full path, as ASCII (the tests keep their paths ASCII).
std::string path_of(const wchar_t* module) {
  wchar_t path[32768];
  const DWORD length = GetModuleFileNameW(GetModuleHandleW(module), path, 32768);
  std::string text;
  for (DWORD i = 0; i < length; ++i) text += path[i] < 0x80 ? static_cast<char>(path[i]) : '?';
  return text;
}

}  // namespace

extern "C" int dependent_main_library_entry(int, wchar_t**, const wchar_t* library_path) {
  std::string library;
  for (const wchar_t* c = library_path; *c != L'\0'; ++c) library += *c < 0x80 ? static_cast<char>(*c) : '?';
  write_out("report pid=" + std::to_string(GetCurrentProcessId()) + "\nlibrary=" + library + "\nown=" + own_origin() +
            "\nown path=" + path_of(L"own.dll") + "\nshared=" + shared_origin() + "\nshared path=" + path_of(L"shared.dll") + "\n");
  return 0;
}
