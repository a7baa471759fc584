// Whether a module is loaded, asked without loading it; apart so that the Windows tests can hold
// the loader's list against the documented call.
#pragma once

#include "os/win32/windows_api.h"

namespace os::win32 {

// The loaded module whose file name (after the path's last backslash) is file_name, in any case;
// null when none is. Read from the loader's list under its lock, and from the documented call
// where the lock cannot be had.
HMODULE loaded_module(const char16_t* file_name);
// The documented call alone (GetModuleHandleW), which must give the same answers.
HMODULE loaded_module_by_name(const char16_t* file_name);

}  // namespace os::win32
