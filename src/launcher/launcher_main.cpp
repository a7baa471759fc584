#include "launcher/launcher.h"
#include "platform/diagnostics.h"

namespace launcher {

int launcher_main(payload::AttachedData attached_data) {
  os::remove_current_directory_from_library_search();
  const bool child = detect_child_role();
  if (!child) prepare_parent_environment();
  determine_unpack_directory();
  if (!child && !os::add_console_event_handler(console_event_handler)) {
    platform::fatal_exit(platform::message::signal_handler);
  }

  const payload::UnpackOutcome outcome =
      payload::unpack_attached_data(attached_data, unpack_directory, child ? payload::Role::child : payload::Role::parent);
  if (child) {
    if (outcome != payload::UnpackOutcome::main_library_known) platform::fatal_exit(platform::message::no_main_library);
    return hand_off_to_main_library();
  }

  publish_launcher_variables();
  build_child_command_line();
  const std::uint32_t exit_code = run_child();
  if (payload::cleanup_needed) remove_unpack_directory();
  return static_cast<int>(exit_code);
}

}  // namespace launcher
