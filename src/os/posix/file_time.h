// Times in the launcher's unit: 100-nanosecond intervals since 1601-01-01 UTC, as Windows
// counts them.
#pragma once

#include <cstdint>

namespace os::posix {

// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
inline constexpr std::int64_t file_time_epoch_offset = 11644473600;
inline constexpr std::int64_t intervals_per_second = 10'000'000;

// A time given in seconds and nanoseconds since 1970-01-01 UTC.
inline std::int64_t file_time_of(std::int64_t seconds, std::int64_t nanoseconds) {
  return (seconds + file_time_epoch_offset) * intervals_per_second + nanoseconds / 100;
}

}  // namespace os::posix
