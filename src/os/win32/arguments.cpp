#include <cstdlib>

#include "os/os.h"
#include "os/win32/windows_api.h"

namespace os {

int argument_count() { return __argc; }

char16_t** argument_vector() { return reinterpret_cast<char16_t**>(__wargv); }

}  // namespace os
