#include <utility>

#include "launcher/launcher.h"
#include "platform/diagnostics.h"
#include "platform/remove_tree.h"

namespace launcher {
namespace {

constexpr int removal_attempts = 20;
constexpr std::uint32_t removal_pause_milliseconds = 100;
constexpr std::uint32_t unreadable_exit_code = 1;
// How long the console handler waits for the unpack loop to stop, or for a child being made to
// be shared, before it goes on all the same: one write, one process start.
constexpr std::uint64_t handler_wait_milliseconds = 2000;
constexpr std::uint32_t handler_poll_milliseconds = 10;

// The run that console events act on: set before the handler is registered and never changed
// afterwards. The handler reaches the run through nothing else.
std::atomic<RunState*> watched_run{nullptr};

bool on_console_event(os::ConsoleEvent event) { return console_event_handler(*watched_run.load(), event); }

// A failed unpack, or a child that cannot be started, would otherwise leave a partial copy
// behind at every try.
void clean_up_after_failure() {
  RunState& state = *watched_run.load();
  if (state.waiting_child.process != nullptr) os::end_waiting_process(state.waiting_child);
  if (unpack_directory_removable(state)) remove_unpack_directory(state);
}

os::Handle take_child_process(RunState& state) { return state.child_process.exchange(nullptr); }

// Hands the console handler a second handle of the child before the child runs, so that an event
// from then on gives it its grace; without one, its directory stays.
void share_child(RunState& state, os::Handle child) {
  if (os::Handle shared = os::duplicate_handle(child)) {
    state.child_process.store(shared);
  } else {
    state.unwatched_child.store(true);
  }
}

void wait_while(const std::atomic<bool>& busy) {
  const std::uint64_t deadline = os::monotonic_milliseconds() + handler_wait_milliseconds;
  while (busy.load() && os::monotonic_milliseconds() < deadline) os::sleep_milliseconds(handler_poll_milliseconds);
}

}  // namespace

bool watch_console_events(RunState& state) {
  watched_run.store(&state);
  platform::set_failure_cleanup(clean_up_after_failure);
  return os::add_console_event_handler(on_console_event);
}

void make_child_ahead(RunState& state) {
  state.child_job = os::create_kill_on_close_job();
  if (state.child_job == nullptr) return;
  // Only this child inherits the gate in its marker; one made after the unpack needs none.
  const os::Handle gate = os::create_start_gate();
  if (gate != nullptr) mark_child(gate);
  os::WaitingProcess child;
  const bool made = os::create_waiting_process(state.executable.module_file_name(), state.child_command_line, &child);
  const std::uint32_t error = os::last_error();
  if (gate != nullptr) mark_child(nullptr);
  if (!made) {
    if (gate != nullptr) os::close_handle(gate);
    state.early_launch_failed = true;
    state.early_launch_error = error;
    return;
  }
  // Outside the job it would outlive this process if it ended abnormally: the child is then made
  // after the unpack, as on a system without jobs.
  if (!os::add_to_job(state.child_job, child.process)) {
    os::end_waiting_process(child);
    if (gate != nullptr) os::close_handle(gate);
    return;
  }
  // Let run, the child loads and starts up while the files are written, and stops at the gate.
  if (gate != nullptr) {
    if (!os::resume_waiting_process(child)) {
      os::close_handle(gate);
      return;
    }
    state.start_gate = gate;
  }
  state.waiting_child = child;
}

os::Handle start_child(RunState& state) {
  if (state.early_launch_failed) platform::fail_with_system_error(platform::message::launch_child, state.early_launch_error);
  if (state.waiting_child.process != nullptr) {
    share_child(state, state.waiting_child.process);
    // A child that cannot be let go is ended by the failure's clean-up, or was ended already.
    const bool going = state.start_gate != nullptr ? os::open_start_gate(std::exchange(state.start_gate, nullptr))
                                                   : os::resume_waiting_process(state.waiting_child);
    if (!going) platform::fail_with_system_error(platform::message::launch_child, os::last_error());
    return std::exchange(state.waiting_child, {}).process;
  }
  // Without a job the child runs all the same, as it would have to on a system that has none.
  if (state.child_job == nullptr) state.child_job = os::create_kill_on_close_job();
  state.child_starting.store(true);
  os::Handle child = os::create_child_process(state.executable.module_file_name(), state.child_command_line, state.child_job);
  if (child == nullptr) platform::fail_with_system_error(platform::message::launch_child, os::last_error());
  // Outside the job, the child outlives this process if it ends abnormally.
  if (state.child_job == nullptr || !os::in_job(state.child_job, child)) mark_child_outside_job(state, child);
  share_child(state, child);
  state.child_starting.store(false);
  return child;
}

std::uint32_t supervise_child(RunState& state, os::Handle child) {
  std::uint32_t exit_code = unreadable_exit_code;
  // Unless unwatched_child is set, start_child shared a second handle; the main thread waits and
  // reads on its own, so that a console handler can take and close the shared one at any moment.
  const bool shared = !state.unwatched_child.load();
  // After a failed wait the child may still run: its code would read as "still active".
  const bool ended = os::wait_for(child) == os::WaitResult::ended;
  bool readable = ended;
  if (!shared) {
    // A console handler found no child to end, so the directory stayed until this one is seen
    // to end.
    if (ended) state.unwatched_child.store(false);
  } else if (os::Handle handler_copy = take_child_process(state)) {
    os::close_handle(handler_copy);
  } else {
    readable = false;  // a console handler released it first, and the code stays 1
  }
  if (!ended) state.unwatched_child.store(true);
  if (readable && !os::exit_code_of(child, &exit_code)) exit_code = unreadable_exit_code;
  os::close_handle(child);
  return exit_code;
}

bool unpack_directory_removable(const RunState& state) {
  return state.unpacked.cleanup_needed && state.unpacked.directory_created && !state.unwatched_child.load();
}

void remove_unpack_directory(const RunState& state) {
  for (int attempt = 0; attempt < removal_attempts; ++attempt) {
    if (platform::remove_tree(state.unpack_directory)) return;
    os::sleep_milliseconds(removal_pause_milliseconds);
  }
}

bool console_event_handler(RunState& state, os::ConsoleEvent) {
  state.sweep_stop.store(true);
  // Files still being written would race with the removal, and the last ones would stay.
  state.unpacked.stop_writing.store(true);
  wait_while(state.unpacked.writing);
  // Taking the handle out first makes this thread the only one that may wait on it, end it
  // and close it; a second event finds the slot empty and goes straight to the removal.
  os::Handle child = take_child_process(state);
  if (child == nullptr && state.child_starting.load()) {
    wait_while(state.child_starting);  // a child that runs already, but is not shared yet
    child = take_child_process(state);
  }
  if (child != nullptr) {
    if (os::wait_for(child, grace_milliseconds) != os::WaitResult::ended) os::terminate(child, 0);
    os::close_handle(child);
  }
  if (unpack_directory_removable(state)) remove_unpack_directory(state);
  // The event's default course ends the process, and a thread cut off inside a system call may
  // hold a lock that the rest of the exit then waits for.
  end_stale_sweep(state, true);
  return false;
}

}  // namespace launcher
