#include <cstddef>

#include "os/os.h"
#include "os/win32/windows_api.h"

#include <shlobj.h>  // after windows_api.h, which settles how <windows.h> is included

namespace os {

using win32::find_function;
using win32::find_security_function;
using win32::load_system_library;
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
  using GetProfileDirectory = BOOL(WINAPI*)(HANDLE, LPWSTR, LPDWORD);
  const auto get_profile_directory =
      find_function<GetProfileDirectory>(load_system_library(L"userenv.dll"), "GetUserProfileDirectoryW");
  const auto open_process_token = find_security_function<decltype(&OpenProcessToken)>("OpenProcessToken");
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
  using GetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
  const auto get_folder_path = find_function<GetFolderPath>(load_system_library(L"shell32.dll"), "SHGetFolderPathW");
  return get_folder_path != nullptr &&
         get_folder_path(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, wide(out)) == S_OK;
}

}  // namespace os
