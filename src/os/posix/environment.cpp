#include <algorithm>
#include <cstdlib>
#include <string>

#include "os/os.h"
#include "os/posix/text.h"

namespace os {

std::uint32_t get_environment_variable(const char16_t* name, char16_t* buffer, std::uint32_t capacity) {
  const char* value = std::getenv(posix::to_utf8(name).c_str());
  if (value == nullptr || *value == '\0') return 0;
  const std::u16string text = posix::from_utf8(value);
  if (text.size() >= capacity) return static_cast<std::uint32_t>(std::min<std::size_t>(text.size() + 1, UINT32_MAX));
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = u'\0';
  return static_cast<std::uint32_t>(text.size());
}

void set_environment_variable(const char16_t* name, const char16_t* value) {
  const std::string narrow_name = posix::to_utf8(name);
  if (value == nullptr) {
    unsetenv(narrow_name.c_str());
  } else {
    setenv(narrow_name.c_str(), posix::to_utf8(value).c_str(), 1);
  }
}

// The C library reads the process environment itself here: there is no private copy to update,
// and set_environment_variable has already made the change.
void runtime_put_environment(const char16_t*) {}

PutEnvironmentFunction loaded_runtime_put_environment(const char16_t*) { return nullptr; }

}  // namespace os
