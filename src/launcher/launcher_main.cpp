#include "launcher/launcher.h"
#include "platform/diagnostics.h"

namespace launcher {

int launcher_main(payload::AttachedData attached_data) {
  // Static for their large fixed buffers, and reached from nowhere else: the console handler
  // finds the state only through watch_console_events.
  static RunState state;
  static payload::Unpacker unpacker;

  os::remove_current_directory_from_library_search();
  const bool child = detect_child_role(state);
  if (!child) prepare_parent_environment();
  determine_unpack_directory(state);
  bool line_fits = false;
  if (!child) {
    if (!watch_console_events(state)) platform::fatal_exit(platform::message::signal_handler);
    publish_launcher_variables(state);
    // The system starts the child while the files are written; it runs once they all are.
    line_fits = build_child_command_line(state);
    if (line_fits) make_child_ahead(state);
  }

  const payload::UnpackOutcome outcome = unpacker.unpack_attached_data(
      attached_data, state.unpack_directory, child ? payload::Role::child : payload::Role::parent, state.unpacked);
  if (child) {
    if (outcome != payload::UnpackOutcome::main_library_known) platform::fatal_exit(platform::message::no_main_library);
    return hand_off_to_main_library(state);
  }

  // A failure of the child's start comes after any of the unpack, and its clean-up removes the
  // unpack directory.
  if (!line_fits) platform::fail_with_system_error(platform::message::launch_child, os::error_code(os::Failure::command_line_too_long));
  const os::Handle child_process = start_child(state);
  start_stale_sweep(state);
  const std::uint32_t exit_code = supervise_child(state, child_process);
  if (unpack_directory_removable(state)) remove_unpack_directory(state);
  end_stale_sweep(state, false);
  return static_cast<int>(exit_code);
}

}  // namespace launcher
