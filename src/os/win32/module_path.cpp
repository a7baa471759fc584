#include "os/os.h"
#include "os/win32/system_functions.h"
#include "os/win32/windows_api.h"

namespace os {

using win32::wide;

std::uint32_t module_file_name(char16_t* buffer, std::uint32_t capacity) {
  return GetModuleFileNameW(nullptr, wide(buffer), capacity);
}

Handle open_for_query(const char16_t* path) {
  return win32::null_on_failure(CreateFileW(wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Older systems lack the call; the caller then keeps the path it has.
std::uint32_t final_path(Handle file, char16_t* buffer, std::uint32_t capacity) {
  const auto get_final_path = win32::kernel32_functions().get_final_path_name_by_handle;
  return get_final_path != nullptr ? get_final_path(file, wide(buffer), capacity, FILE_NAME_NORMALIZED) : 0;
}

std::uint32_t short_path_name(const char16_t* path, char16_t* buffer, std::uint32_t capacity) {
  return GetShortPathNameW(wide(path), wide(buffer), capacity);
}

}  // namespace os
