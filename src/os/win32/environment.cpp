#include <cstdlib>

#include "os/os.h"
#include "os/win32/windows_api.h"

namespace os {

using win32::wide;

std::uint32_t get_environment_variable(const char16_t* name, char16_t* buffer, std::uint32_t capacity) {
  return GetEnvironmentVariableW(wide(name), wide(buffer), capacity);
}

void set_environment_variable(const char16_t* name, const char16_t* value) {
  SetEnvironmentVariableW(wide(name), wide(value));
}

void runtime_put_environment(const char16_t* entry) { _wputenv(wide(entry)); }

PutEnvironmentFunction loaded_runtime_put_environment(const char16_t* module_name) {
  return win32::find_function<PutEnvironmentFunction>(GetModuleHandleW(wide(module_name)), "_wputenv");
}

}  // namespace os
