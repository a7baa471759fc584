#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "os/os.h"
#include "os/posix/descriptor.h"

namespace os {

std::uint32_t processor_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<std::uint32_t>(CPU_COUNT(&set));
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::uint32_t>(online) : 1;
}

bool write_file_at(Handle file, const void* data, std::uint32_t size, std::uint64_t offset) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::pwrite(posix::descriptor_of(file), bytes, size, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {
      errno = EIO;
      return false;
    }
    bytes += written;
    offset += static_cast<std::uint64_t>(written);
    size -= static_cast<std::uint32_t>(written);
  }
  return true;
}

}  // namespace os
