#include <algorithm>
#include <cstdlib>
#include <string>

#include "os/os.h"
#include "os/posix/text.h"

namespace os {

namespace {

// A POSIX path in the launcher's spelling: UTF-16 with "\" separators.
std::u16string launcher_path(std::string_view path) {
  std::u16string text = posix::from_utf8(path);
  std::replace(text.begin(), text.end(), u'/', u'\\');
  return text;
}

// Like the system's folder paths: single separators and none at the end (the root aside).
std::string tidy(std::string_view path) {
  std::string out;
  for (char c : path) {
    if (c != '/' || out.empty() || out.back() != '/') out += c;
  }
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

const char* nonempty_variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

std::uint32_t temp_path(char16_t* out, std::uint32_t capacity) {
  const char* directory = nonempty_variable("TMPDIR");
  std::u16string text = launcher_path(directory != nullptr ? directory : "/tmp");
  if (text.back() != u'\\') text += u'\\';
  if (text.size() >= capacity) {
    if (capacity > 0) out[0] = u'\0';
    return static_cast<std::uint32_t>(text.size() + 1);
  }
  std::copy(text.begin(), text.end(), out);
  out[text.size()] = u'\0';
  return static_cast<std::uint32_t>(text.size());
}

bool shell_folder_path(ShellFolder folder, char16_t* out) {
  const char* home = nonempty_variable("HOME");
  std::string path;
  if (folder == ShellFolder::profile) {
    if (home == nullptr) return false;
    path = tidy(home);
  } else {
    // XDG asks that a relative cache directory be ignored.
    const char* cache = nonempty_variable("XDG_CACHE_HOME");
    if (cache != nullptr && cache[0] == '/') {
      path = tidy(cache);
    } else if (home != nullptr) {
      path = tidy(std::string(home) + "/.cache");
    } else {
      return false;
    }
  }
  const std::u16string text = launcher_path(path);
  if (text.size() >= shell_folder_capacity) return false;
  std::copy(text.begin(), text.end(), out);
  out[text.size()] = u'\0';
  return true;
}

}  // namespace os
