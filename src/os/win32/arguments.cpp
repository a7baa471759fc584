#include <cstdlib>

#include "os/os.h"
#include "os/win32/windows_api.h"

#include <shellapi.h>  // after windows_api.h, which settles how <windows.h> is included

namespace os {

int argument_count() { return __argc; }

char16_t** argument_vector() { return reinterpret_cast<char16_t**>(__wargv); }

char16_t** split_process_command_line(int* count) {
  return reinterpret_cast<char16_t**>(CommandLineToArgvW(GetCommandLineW(), count));
}

void free_split_command_line(char16_t** vector) { LocalFree(vector); }

}  // namespace os
