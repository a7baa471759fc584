#include <cstdint>

#include "os/os.h"
#include "os/win32/windows_api.h"

namespace os {

std::uint32_t processor_count() {
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  std::uint32_t count = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) {
    for (; process_mask != 0; process_mask &= process_mask - 1) ++count;
  }
  if (count == 0) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    count = info.dwNumberOfProcessors;
  }
  return count > 0 ? count : 1;
}

// An offset given with a handle opened for synchronous use writes there and nowhere else.
bool write_file_at(Handle file, const void* data, std::uint32_t size, std::uint64_t offset) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    if (!WriteFile(file, bytes, size, &written, &at)) return false;
    if (written == 0 || written > size) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    bytes += written;
    offset += written;
    size -= written;
  }
  return true;
}

}  // namespace os
