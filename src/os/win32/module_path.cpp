#include "os/os.h"
#include "os/win32/windows_api.h"

namespace os {

using win32::wide;

std::uint32_t module_file_name(char16_t* buffer, std::uint32_t capacity) {
  return GetModuleFileNameW(nullptr, wide(buffer), capacity);
}

Handle open_for_query(const char16_t* path) {
  return CreateFileW(wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

namespace {

using GetFinalPathNameByHandle = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
GetFinalPathNameByHandle looked_up_final_path = nullptr;

std::uint32_t call_final_path(Handle file, char16_t* buffer, std::uint32_t capacity, std::uint32_t flags) {
  return looked_up_final_path(file, wide(buffer), capacity, flags);
}

}  // namespace

FinalPathFunction final_path_function() {
  // Older systems lack the call; the caller then keeps the path it has.
  looked_up_final_path =
      win32::find_function<GetFinalPathNameByHandle>(GetModuleHandleA("Kernel32.dll"), "GetFinalPathNameByHandleW");
  return looked_up_final_path ? call_final_path : nullptr;
}

std::uint32_t short_path_name(const char16_t* path, char16_t* buffer, std::uint32_t capacity) {
  return GetShortPathNameW(wide(path), wide(buffer), capacity);
}

}  // namespace os
