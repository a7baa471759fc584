// A seam for a launcher built for the tests: reading another process's image path fails, as it
// did under strace, where every child took the parent role and started another. Each failed
// read counts a generation in ZAMRIK_TEST_GENERATION, which the next child inherits, and says
// so on standard error; from the fourth generation on the real read runs, so that a launcher
// that starts itself again stops all the same. Linked with --wrap=<os::process_image_path>.
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

#include "os/os.h"
#include "os/win32/windows_api.h"

namespace {

constexpr int blind_generations = 4;

}  // namespace

extern "C" {
std::uint32_t __real__ZN2os18process_image_pathEPvPDsj(os::Handle process, char16_t* buffer, std::uint32_t capacity);

std::uint32_t __wrap__ZN2os18process_image_pathEPvPDsj(os::Handle process, char16_t* buffer, std::uint32_t capacity) {
  wchar_t text[16] = L"0";
  GetEnvironmentVariableW(L"ZAMRIK_TEST_GENERATION", text, 16);
  const int generation = static_cast<int>(std::wcstol(text, nullptr, 10)) + 1;
  if (generation > blind_generations) return __real__ZN2os18process_image_pathEPvPDsj(process, buffer, capacity);
  SetEnvironmentVariableW(L"ZAMRIK_TEST_GENERATION", std::to_wstring(generation).c_str());
  const std::string line = "blind parent check " + std::to_string(generation) + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  return 0;
}
}
