#include <cstddef>

#include "os/os.h"
#include "os/win32/system_functions.h"
#include "os/win32/windows_api.h"

#include <shlobj.h>  // after windows_api.h, which settles how <windows.h> is included

namespace os {

using win32::wide;

std::uint32_t temp_path(char16_t* out, std::uint32_t capacity) {
  const DWORD length = GetTempPathW(capacity, wide(out));
  // A path that does not fit may leave a partial text behind; the caller must see none.
  if ((length == 0 || length >= capacity) && capacity > 0) out[0] = u'\0';
  return length;
}

namespace {

// The profile folder as the shell names it, from the library the shell itself asks. shell32
// would bring user32 and gdi32, whose start costs some tens of milliseconds under Wine; userenv
// costs about one.
bool profile_path(char16_t* out) {
  const auto get_profile_directory = win32::get_user_profile_directory();
  const auto open_process_token = win32::security_functions().open_process_token;
  HANDLE token = nullptr;
  if (get_profile_directory == nullptr || open_process_token == nullptr ||
      !open_process_token(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  DWORD size = shell_folder_capacity;
  const bool found = get_profile_directory(token, wide(out), &size) != 0;
  CloseHandle(token);
  return found;
}

}  // namespace

// Both libraries are loaded when a folder is first asked for, not imported: the child asks for
// none and would pay their start for nothing.
bool shell_folder_path(ShellFolder folder, char16_t* out) {
  if (folder == ShellFolder::profile) return profile_path(out);
  const auto get_folder_path = win32::get_folder_path();
  return get_folder_path != nullptr &&
         get_folder_path(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, wide(out)) == S_OK;
}

}  // namespace os
