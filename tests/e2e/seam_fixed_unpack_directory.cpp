// A seam for a launcher built for the tests: the built-in unpack spec expands to the path in
// ZAMRIK_TEST_UNPACK_DIRECTORY when that is set, so that a test can put something under the
// unpack directory's name before the launcher starts. Linked with
// --wrap=<path_template::expand_path_template>; every other expansion is the real one.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "path_template/expand_path_template.h"
#include "os/win32/windows_api.h"

extern "C" {
bool __real__ZN13path_template20expand_path_templateEPDsPKDsy(char16_t* output, const char16_t* spec, std::uint64_t capacity);

bool __wrap__ZN13path_template20expand_path_templateEPDsPKDsy(char16_t* output, const char16_t* spec, std::uint64_t capacity) {
  const DWORD length =
      GetEnvironmentVariableW(L"ZAMRIK_TEST_UNPACK_DIRECTORY", reinterpret_cast<wchar_t*>(output), static_cast<DWORD>(capacity));
  if (std::u16string_view(spec) != path_template::builtin_unpack_template || length == 0 || length >= capacity) {
    return __real__ZN13path_template20expand_path_templateEPDsPKDsy(output, spec, capacity);
  }
  return true;
}
}
