#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "launcher/launcher.h"
#include "path_template/expand_path_template.h"
#include "path_template/run_identity.h"
#include "platform/diagnostics.h"
#include "text/wide_text.h"

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
  if (const char16_t* own_name = text::cut_to_parent(folder)) {
    const platform::RemovalLimits limits{&state.sweep_stop, os::monotonic_milliseconds() + sweep_milliseconds};
    sweep_stale_directories(folder, own_name, limits);
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

namespace {

// The mark's path in directory: false when it does not fit.
bool mark_path(const char16_t* directory, char16_t* path) {
  const std::size_t length = Traits::length(directory);
  if (length + 1 + Traits::length(payload::child_outside_job_name) >= payload::path_capacity) return false;
  Traits::copy(path, directory, length);
  path[length] = u'\\';
  Traits::copy(path + length + 1, payload::child_outside_job_name, Traits::length(payload::child_outside_job_name) + 1);
  return true;
}

}  // namespace

void mark_child_outside_job(const RunState& state, os::Handle child) {
  if (!state.unpacked.directory_created) return;
  char16_t path[payload::path_capacity];
  const std::uint32_t id = os::process_id_of(child);
  if (id == 0 || !mark_path(state.unpack_directory, path)) return;
  const path_template::DecimalText digits = path_template::process_id_text(id);
  const os::Handle file = os::create_file_for_writing(path);
  if (file == os::invalid_handle) return;
  os::write_file(file, digits.data(), static_cast<std::uint32_t>(std::char_traits<char>::length(digits.data())));
  os::close_handle(file);
}

bool child_outside_job_runs(const char16_t* directory) {
  char16_t path[payload::path_capacity];
  if (!mark_path(directory, path)) return false;
  const os::Handle file = os::open_file_for_reading(path);
  if (file == os::invalid_handle) return os::file_kind(path) != os::FileKind::none;
  char digits[16];
  std::uint32_t got = 0;
  const bool read = os::read_file(file, digits, sizeof digits, &got);
  os::close_handle(file);
  std::int64_t created = 0;
  std::int64_t started = 0;
  if (!read || !os::creation_time(path, &created)) return true;
  char16_t text[sizeof digits + 1] = {};
  for (std::uint32_t i = 0; i < got; ++i) text[i] = static_cast<char16_t>(static_cast<unsigned char>(digits[i]));
  const std::optional<std::uint32_t> id = path_template::parse_process_id_text(text);
  // Written by a parent that was cut off mid-write: its child may well run.
  if (!id) return true;
  const os::ProcessStatus status = os::process_status(*id, &started);
  return !owner_is_gone(status, started, created);
}

void sweep_stale_directories(const char16_t* folder, const char16_t* own_name, const platform::RemovalLimits& limits) {
  char16_t path[payload::path_capacity];
  char16_t name[os::entry_name_capacity];
  os::FileKind kind = os::FileKind::none;
  const std::size_t folder_length = Traits::length(folder);
  if (folder_length + 2 >= payload::path_capacity) return;
  Traits::copy(path, folder, folder_length);
  const os::Handle listing = os::list_directory(folder, name, &kind);
  if (listing == os::invalid_handle) return;
  do {
    if (limits.reached()) break;
    const std::size_t name_length = Traits::length(name);
    const std::optional<std::uint32_t> owner = path_template::builtin_unpack_directory_owner({name, name_length});
    if (!owner || std::u16string_view(name, name_length) == own_name) continue;
    if (folder_length + 1 + name_length >= payload::path_capacity) continue;
    path[folder_length] = u'\\';
    Traits::copy(path + folder_length + 1, name, name_length + 1);
    // Only what a run of this user leaves: a real directory, checked by the handle that the
    // removal then goes through, so that a name swapped for a link after the listing, or a tree
    // that another user planted in a shared folder, is never acted on.
    if (kind != os::FileKind::directory) continue;
    const os::Handle directory = os::open_directory(os::invalid_handle, path, &kind);
    if (directory == os::invalid_handle) continue;
    std::int64_t created = 0;
    std::int64_t started = 0;
    // This process made no directory but its own: another one under its id was left by a run
    // that is over (Wine gives every process the same id after its server restarts).
    bool gone = *owner == os::current_process_id();
    if (!gone && os::creation_time(path, &created)) {
      const os::ProcessStatus status = os::process_status(*owner, &started);
      gone = owner_is_gone(status, started, created);
    }
    if (gone && os::owned_by_current_user(directory) && !child_outside_job_runs(path)) {
      platform::remove_open_tree(directory, path, limits);
    }
    os::close_directory(directory);
  } while (os::next_entry(listing, name, &kind));
  os::close_listing(listing);
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
