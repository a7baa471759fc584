#include "launcher/launcher.h"
#include "platform/diagnostics.h"
#include "platform/executable_path.h"
#include "platform/remove_tree.h"

namespace launcher {

std::atomic<os::Handle> child_process_handle{nullptr};

namespace {

constexpr int removal_attempts = 20;
constexpr std::uint32_t removal_pause_milliseconds = 100;
constexpr std::uint32_t grace_milliseconds = 5000;
constexpr std::uint32_t unreadable_exit_code = 1;

os::Handle take_child_process_handle() { return child_process_handle.exchange(nullptr); }

}  // namespace

std::uint32_t run_child() {
  os::Handle child = os::create_child_process(platform::module_file_name(), child_command_line);
  if (child == nullptr) platform::fail_with_system_error(platform::message::launch_child, os::last_error());
  std::uint32_t exit_code = 0;
  // The main thread waits and reads on a handle of its own, so that a console handler can
  // take and close the shared one at any moment.
  os::Handle own = os::duplicate_handle(child);
  if (own == nullptr) {
    // Never shared: the handler then finds no child, but cleans up all the same.
    os::wait_for(child);
    if (!os::exit_code_of(child, &exit_code)) exit_code = unreadable_exit_code;
    os::close_handle(child);
    return exit_code;
  }
  child_process_handle.store(child);
  os::wait_for(own);
  if (os::Handle shared = take_child_process_handle()) {
    if (!os::exit_code_of(own, &exit_code)) exit_code = unreadable_exit_code;
    os::close_handle(shared);
  } else {
    exit_code = unreadable_exit_code;  // a console handler released it first
  }
  os::close_handle(own);
  return exit_code;
}

void remove_unpack_directory() {
  for (int attempt = 0; attempt < removal_attempts; ++attempt) {
    if (platform::remove_tree(unpack_directory)) return;
    os::sleep_milliseconds(removal_pause_milliseconds);
  }
}

bool console_event_handler(os::ConsoleEvent) {
  // Taking the handle out first makes this thread the only one that may wait on it, end it
  // and close it; a second event finds the slot empty and goes straight to the removal.
  if (os::Handle child = take_child_process_handle()) {
    if (os::wait_for(child, grace_milliseconds) != os::WaitResult::ended) os::terminate(child, 0);
    os::close_handle(child);
  }
  if (payload::cleanup_needed) remove_unpack_directory();
  return false;
}

}  // namespace launcher
