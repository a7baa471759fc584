#include "os/os.h"
#include "os/win32/system_functions.h"
#include "os/win32/windows_api.h"

namespace os {

using win32::wide;

void remove_current_directory_from_library_search() { SetDllDirectoryW(L""); }

void add_library_directory(const char16_t* directory) {
  // Systems without it must still be able to start the launcher.
  if (const auto add = win32::kernel32_functions().add_dll_directory) add(wide(directory));
}

Handle load_library(const char16_t* path) {
  return LoadLibraryExW(wide(path), nullptr,
                        LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// A main library exports its entry by ordinal 1.
MainLibraryEntry main_library_entry(Handle module) {
  return win32::find_function<MainLibraryEntry>(static_cast<HMODULE>(module), MAKEINTRESOURCEA(1));
}

}  // namespace os
