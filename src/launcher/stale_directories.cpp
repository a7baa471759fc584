#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "launcher/launcher.h"
#include "path_template/expand_path_template.h"

namespace launcher {
namespace {

// Enough for a hundred directories or more, and short enough that a parent whose application
// ended at once does not linger on a large one.
constexpr std::uint64_t sweep_milliseconds = 2000;
// How much longer the parent waits for a sweep held up in one slow system call.
constexpr std::uint64_t sweep_overrun_milliseconds = 1000;
constexpr std::uint32_t sweep_poll_milliseconds = 10;
// A directory on a network share carries the server's clock, which may differ from ours by the
// few minutes that domain logons allow: only a process that started later than that after the
// directory was made cannot have made it. In 100 ns units.
constexpr std::int64_t clock_tolerance = std::int64_t{5} * 60 * 10'000'000;

using Traits = std::char_traits<char16_t>;

void sweep_thread(void* argument) {
  RunState& state = *static_cast<RunState*>(argument);
  char16_t folder[payload::path_capacity];
  Traits::copy(folder, state.unpack_directory, Traits::length(state.unpack_directory) + 1);
  char16_t* last_backslash = nullptr;
  for (char16_t* c = folder; *c != u'\0'; ++c) {
    if (*c == u'\\') last_backslash = c;
  }
  if (last_backslash != nullptr) {
    *last_backslash = u'\0';
    const platform::RemovalLimits limits{&state.sweep_stop, os::monotonic_milliseconds() + sweep_milliseconds};
    sweep_stale_directories(folder, last_backslash + 1, limits);
  }
  state.sweep_running.store(false);
}

}  // namespace

bool owner_is_gone(os::ProcessStatus status, std::int64_t process_start, std::int64_t directory_created) {
  if (status == os::ProcessStatus::none) return true;
  // Compared as a difference of ordered times, which cannot overflow.
  return status == os::ProcessStatus::running && process_start > directory_created &&
         process_start - directory_created > clock_tolerance;
}

void sweep_stale_directories(const char16_t* folder, const char16_t* own_name, const platform::RemovalLimits& limits) {
  char16_t path[payload::path_capacity];
  char16_t name[os::find_name_capacity];
  os::FileKind kind = os::FileKind::none;
  const std::size_t folder_length = Traits::length(folder);
  if (folder_length + 2 >= payload::path_capacity) return;
  Traits::copy(path, folder, folder_length);
  Traits::copy(path + folder_length, u"\\*", 3);
  const os::Handle search = os::find_first_file(path, name, &kind);
  if (search == os::invalid_handle) return;
  do {
    if (limits.reached()) break;
    const std::size_t name_length = Traits::length(name);
    const std::optional<std::uint32_t> owner = path_template::builtin_unpack_directory_owner({name, name_length});
    if (!owner || std::u16string_view(name, name_length) == own_name) continue;
    if (folder_length + 1 + name_length >= payload::path_capacity) continue;
    path[folder_length] = u'\\';
    Traits::copy(path + folder_length + 1, name, name_length + 1);
    std::int64_t created = 0;
    std::int64_t started = 0;
    // Only what a run leaves: a real directory.
    if (kind != os::FileKind::directory || !os::creation_time(path, &created)) continue;
    const os::ProcessStatus status = os::process_status(*owner, &started);
    if (owner_is_gone(status, started, created)) platform::remove_tree(path, limits);
  } while (os::find_next_file(search, name, &kind));
  os::find_close(search);
}

void start_stale_sweep(RunState& state) {
  state.sweep_running.store(true);
  if (!os::start_thread(sweep_thread, &state)) state.sweep_running.store(false);
}

void end_stale_sweep(RunState& state, bool stop_now) {
  if (stop_now) state.sweep_stop.store(true);
  const std::uint64_t give_up = os::monotonic_milliseconds() + sweep_milliseconds + sweep_overrun_milliseconds;
  while (state.sweep_running.load() && os::monotonic_milliseconds() < give_up) {
    os::sleep_milliseconds(sweep_poll_milliseconds);
  }
}

}  // namespace launcher
