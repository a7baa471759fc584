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

// The C library's environment is the process's own: the entry goes there, as putenv would put
// it but without keeping the caller's text.
void runtime_put_environment(const char16_t* entry) {
  const std::string text = posix::to_utf8(entry);
  const std::size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) return;
  const std::string name = text.substr(0, equals);
  if (equals + 1 == text.size()) {
    unsetenv(name.c_str());
  } else {
    setenv(name.c_str(), text.c_str() + equals + 1, 1);
  }
}

// One C library serves every module of the process: there is no other run-time with a copy.
PutEnvironmentFunction loaded_runtime_put_environment(const char16_t*) { return nullptr; }

}  // namespace os
