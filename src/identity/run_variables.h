// The six environment variables through which parent, child and application agree. The parent
// sets them; the child and the application read them. A seventh is the parent's word to its
// child alone.
#pragma once

namespace identity {

// The parent's process id: tells the child its role, and is what {PID} expands to.
inline constexpr char parent_variable[] = "ZAMRIK_ONEFILE_PARENT";
// The run-identity values, made by the first expansion that needs them and read back by every
// later one, the child's included.
inline constexpr char start_variable[] = "ZAMRIK_ONEFILE_START";  // {TIME}
inline constexpr char time_us_variable[] = "ZAMRIK_ONEFILE_TIME_US";
inline constexpr char random_variable[] = "ZAMRIK_ONEFILE_RANDOM";
// For the application: the folder of the executable the user started, and its first argument
// as given.
inline constexpr char directory_variable[] = "ZAMRIK_ONEFILE_DIRECTORY";
inline constexpr char original_argv0_variable[] = "ZAMRIK_ORIGINAL_ARGV0";
// Handed by a parent to the child it starts, and taken away by that child at once: nothing the
// application starts inherits it.
inline constexpr char child_marker_variable[] = "ZAMRIK_ONEFILE_CHILD";

}  // namespace identity
