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

bool shell_folder_path(ShellFolder folder, char16_t* out) {
  const int id = folder == ShellFolder::profile ? CSIDL_PROFILE : CSIDL_LOCAL_APPDATA;
  return SHGetFolderPathW(nullptr, id, nullptr, SHGFP_TYPE_CURRENT, wide(out)) == S_OK;
}

}  // namespace os
