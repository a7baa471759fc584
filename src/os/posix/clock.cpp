#include <time.h>
#include <unistd.h>

#include "os/os.h"

namespace os {

namespace {
// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr std::int64_t file_time_epoch_offset = 11644473600;
constexpr std::int64_t intervals_per_second = 10'000'000;
}  // namespace

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(getpid()); }

std::int64_t system_time_as_file_time() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return (now.tv_sec + file_time_epoch_offset) * intervals_per_second + now.tv_nsec / 100;
}

void query_performance_counter(std::int64_t* counter) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  *counter = std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

}  // namespace os
