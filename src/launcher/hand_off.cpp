#include "launcher/launcher.h"
#include "platform/diagnostics.h"

namespace launcher {

int hand_off_to_main_library() {
  // The main library's own dependencies are looked for beside it.
  os::add_library_directory(unpack_directory);
  os::Handle library = os::load_library(payload::main_library_path);
  if (library == nullptr) platform::fail_with_system_error(platform::message::load_library, os::last_error());
  const os::MainLibraryEntry entry = os::main_library_entry(library);
  if (entry == nullptr) platform::fatal_exit(platform::message::entry_point);
  return entry(os::argument_count(), os::argument_vector(), payload::main_library_path);
}

}  // namespace launcher
