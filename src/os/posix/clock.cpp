#include <time.h>
#include <unistd.h>

#include "os/os.h"
#include "os/posix/file_time.h"

namespace os {

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(getpid()); }

std::int64_t system_time_as_file_time() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return posix::file_time_of(now.tv_sec, now.tv_nsec);
}

void query_performance_counter(std::int64_t* counter) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  *counter = std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

std::uint64_t monotonic_milliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000;
}

}  // namespace os
