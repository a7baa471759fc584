#include "os/os.h"
#include "os/win32/windows_api.h"

namespace os {

std::uint32_t current_process_id() { return GetCurrentProcessId(); }

std::int64_t system_time_as_file_time() {
  FILETIME ft{};
  GetSystemTimeAsFileTime(&ft);
  return static_cast<std::int64_t>((std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime);
}

void query_performance_counter(std::int64_t* counter) {
  static_assert(sizeof(LARGE_INTEGER) == sizeof(std::int64_t));
  QueryPerformanceCounter(reinterpret_cast<LARGE_INTEGER*>(counter));
}

std::uint64_t monotonic_milliseconds() { return GetTickCount64(); }

}  // namespace os
