#include <cstddef>

#include "os/os.h"
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

// shell32 is loaded when a folder is first asked for, not imported: it brings user32 and gdi32,
// whose start every importing process pays (under Wine some tens of milliseconds), and the child,
// which asks for no folder, would pay it for nothing.
bool shell_folder_path(ShellFolder folder, char16_t* out) {
  using GetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
  static constexpr wchar_t library_name[] = L"\\shell32.dll";
  wchar_t library[MAX_PATH];
  const UINT length = GetSystemDirectoryW(library, MAX_PATH);
  if (length == 0 || length + sizeof library_name / sizeof library_name[0] > MAX_PATH) return false;
  for (std::size_t i = 0; i < sizeof library_name / sizeof library_name[0]; ++i) library[length + i] = library_name[i];
  HMODULE shell = LoadLibraryW(library);
  if (shell == nullptr) return false;
  const auto get_folder_path =
      reinterpret_cast<GetFolderPath>(reinterpret_cast<void*>(GetProcAddress(shell, "SHGetFolderPathW")));
  const int id = folder == ShellFolder::profile ? CSIDL_PROFILE : CSIDL_LOCAL_APPDATA;
  return get_folder_path != nullptr && get_folder_path(nullptr, id, nullptr, SHGFP_TYPE_CURRENT, wide(out)) == S_OK;
}

}  // namespace os
