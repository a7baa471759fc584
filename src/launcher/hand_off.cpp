#include "launcher/launcher.h"
#include "platform/diagnostics.h"

namespace launcher {

int hand_off_to_main_library(const RunState& state) {
  const char16_t* const main_library_path = state.unpacked.main_library_path;
  // The main library's own dependencies are looked for beside it.
  os::add_library_directory(state.unpack_directory);
  os::Handle library = os::load_library(main_library_path);
  if (library == nullptr) platform::fail_with_system_error(platform::message::load_library, os::last_error());
  const os::MainLibraryEntry entry = os::main_library_entry(library);
  if (entry == nullptr) platform::fatal_exit(platform::message::entry_point);
  return entry(os::argument_count(), os::argument_vector(), main_library_path);
}

}  // namespace launcher
