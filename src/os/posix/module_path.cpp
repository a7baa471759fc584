#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "os/os.h"
#include "os/posix/descriptor.h"
#include "os/posix/text.h"

namespace os {

using posix::descriptor_of;
using posix::handle_of;

// Like GetModuleFileNameW: a name that does not fit is cut to capacity - 1 characters and
// terminated, and the result is then capacity.
std::uint32_t module_file_name(char16_t* buffer, std::uint32_t capacity) {
  char target[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", target, sizeof target - 1);
  if (length <= 0 || capacity == 0) return 0;
  const std::u16string name = posix::launcher_path(std::string_view(target, static_cast<std::size_t>(length)));
  const std::size_t stored = name.size() < capacity ? name.size() : capacity - 1;
  name.copy(buffer, stored);
  buffer[stored] = u'\0';
  return name.size() < capacity ? static_cast<std::uint32_t>(stored) : capacity;
}

// A directory cannot be opened for queries, as without backup semantics on Windows.
Handle open_for_query(const char16_t* path) {
  const int descriptor = ::open(posix::native_path(path).c_str(), O_PATH | O_CLOEXEC);
  if (descriptor < 0) return invalid_handle;
  struct stat status;
  if (::fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode)) {
    ::close(descriptor);
    errno = EISDIR;
    return invalid_handle;
  }
  return handle_of(descriptor);
}

// The open file's path with every link resolved, in the drive-letter-less POSIX form.
std::uint32_t final_path(Handle file, char16_t* buffer, std::uint32_t capacity) {
  const std::string link = "/proc/self/fd/" + std::to_string(descriptor_of(file));
  char resolved[PATH_MAX];
  if (::realpath(link.c_str(), resolved) == nullptr) return 0;
  return posix::store_text(posix::launcher_path(resolved), buffer, capacity);
}

// No short names here: an existing path is its own short form.
std::uint32_t short_path_name(const char16_t* path, char16_t* buffer, std::uint32_t capacity) {
  struct stat status;
  if (::stat(posix::native_path(path).c_str(), &status) != 0) return 0;
  return posix::store_text(path, buffer, capacity);
}

}  // namespace os
