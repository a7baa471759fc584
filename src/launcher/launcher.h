// The launcher: decides the role of the running instance, orders the run in both roles,
// starts and supervises the child, cleans up, and in the child hands over to the main library.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "os/os.h"
#include "payload/attached_data.h"
#include "payload/unpack.h"
#include "platform/executable_path.h"
#include "platform/remove_tree.h"

namespace launcher {

inline constexpr std::size_t command_line_capacity = 32768;
// How long the parent gives its child to end after a console event before it ends it.
inline constexpr std::uint32_t grace_milliseconds = 5000;

// Everything one run keeps. launcher_main owns it; the parent's console handler reaches it from
// its own thread through the one pointer that watch_console_events sets.
struct RunState {
  platform::ExecutablePath executable;
  // Final before the console handler is registered.
  char16_t unpack_directory[payload::path_capacity] = {};
  payload::UnpackResult unpacked;
  char16_t child_command_line[command_line_capacity] = {};
  // A second handle of the child from before it runs until its supervision ends, null otherwise.
  // Whoever takes it out (an atomic exchange with null) is the only one to use and close it
  // afterwards.
  std::atomic<os::Handle> child_process{nullptr};
  // Set while a child may be running that no console handler can end: its handle could not be
  // shared, or the main thread's wait for it failed. Its directory must then stay.
  std::atomic<bool> unwatched_child{false};
  // Set while start_child makes a child that runs as soon as it is made, until it is shared: a
  // console handler waits for it meanwhile.
  std::atomic<bool> child_starting{false};
  // The job that ends the child with this process. Never closed here: the system closes it when
  // this process ends, whichever way it ends.
  os::Handle child_job = nullptr;
  // The child made ahead of the unpack, in the job, waiting until start_child lets it go on:
  // suspended, or at start_gate when there is one.
  os::WaitingProcess waiting_child;
  os::Handle start_gate = nullptr;
  // Set when the child could not be made ahead: the system's reason, reported after the unpack.
  bool early_launch_failed = false;
  std::uint32_t early_launch_error = 0;
  // The sweep of stale unpack directories, on a thread of its own while the child runs.
  std::atomic<bool> sweep_running{false};
  std::atomic<bool> sweep_stop{false};
};
// A console handler may still run while the process exits: nothing of the state may be torn
// down under it.
static_assert(std::is_trivially_destructible_v<RunState>);

// The whole run of one instance; the result is the process exit status.
int launcher_main(payload::AttachedData attached_data);

// ---- Roles --------------------------------------------------------------------------------

// True when a parent instance of this same executable runs under the id that
// ZAMRIK_ONEFILE_PARENT names. An instance that a parent started as its child (it carries the
// parent's marker, which it takes away) but that fails this check ends with a message instead.
bool detect_child_role(RunState& state);
// Parent role: drops the run-identity values of any earlier run, names this process as the
// parent, and marks the child it will start.
void prepare_parent_environment();
// Parent role: the marker that the next child made inherits; with a gate, the child waits at
// it before its role decision.
void mark_child(os::Handle gate);
// Expands the built-in unpack spec into state.unpack_directory and makes it a full path.
void determine_unpack_directory(RunState& state);
// Parent role, before the child is made: ZAMRIK_ONEFILE_DIRECTORY and ZAMRIK_ORIGINAL_ARGV0.
void publish_launcher_variables(RunState& state);

// ---- Child command line -------------------------------------------------------------------

// The parent's arguments as its C run-time split and expanded them, with the module file name
// first, into state.child_command_line. False when the line would pass CreateProcessW's limit.
bool build_child_command_line(RunState& state);

// ---- Supervision and cleanup --------------------------------------------------------------

// Parent role: makes state the run that console events act on, then registers the handler;
// false when the system refuses it. From then on every failure ending with status 2 first
// removes the unpack directory, as after a normal run.
bool watch_console_events(RunState& state);
// Parent role, before the unpack: makes the child with state.child_command_line in a job that
// ends it when this process ends, so that its start overlaps the unpack. It runs up to its start
// gate, or stays suspended where there is no gate. Only with a job, which ends it also after an
// abnormal end of this process; a failure is kept for start_child to report.
void make_child_ahead(RunState& state);
// Lets the child made ahead run, or else starts it now, in such a job where the system makes
// one, and returns its process handle; ends the process with status 2 when it cannot start.
// The console handler has the child from before it runs: a second handle in child_process, or
// unwatched_child when there is none.
os::Handle start_child(RunState& state);
// Waits for the child that start_child returned and returns its exit code (1 when it cannot be
// read, also when the wait fails).
std::uint32_t supervise_child(RunState& state, os::Handle child);
// True when the unpack directory may go now: the header has been accepted, this run made the
// directory, and no child that may still use it runs out of reach.
bool unpack_directory_removable(const RunState& state);
// Up to 20 removals of the unpack directory, 100 ms apart; gives up silently.
void remove_unpack_directory(const RunState& state);
// Every console event alike: stops the unpack loop between two writes, gives the child 5 s,
// ends it otherwise, and removes the unpack directory. Returns false, so the event goes on to
// its default course.
bool console_event_handler(RunState& state, os::ConsoleEvent event);

// ---- Stale unpack directories -------------------------------------------------------------

// Whether the run that named a directory after a process id is over: no process runs under
// the id, or the one that does started too long after the directory was made to have made it.
bool owner_is_gone(os::ProcessStatus status, std::int64_t process_start, std::int64_t directory_created);
// Removes from folder the directories that the built-in unpack spec names and whose run is
// over, except own_name, within the limits; silently, never ending the process.
void sweep_stale_directories(const char16_t* folder, const char16_t* own_name, const platform::RemovalLimits& limits);
// Parent role: marks the unpack directory of a child that runs outside the job that would end
// it with this process, so that a later sweep leaves it until that child has ended.
void mark_child_outside_job(const RunState& state, os::Handle child);
// Whether the directory (a path) carries such a mark of a child that still runs, or one that
// cannot be read.
bool child_outside_job_runs(const char16_t* directory);
// Parent role: sweeps the folder of state.unpack_directory on a thread of its own, for at most
// a few seconds.
void start_stale_sweep(RunState& state);
// Waits, boundedly, until the sweep has ended; with stop_now it ends at its next entry.
void end_stale_sweep(RunState& state, bool stop_now);

// ---- Hand-off -----------------------------------------------------------------------------

// Child role: loads the main library from the unpack directory and returns what its entry
// returns. Ends the process with status 2 when the library or its entry is missing.
int hand_off_to_main_library(const RunState& state);

}  // namespace launcher
