// The launcher: decides the role of the running instance, orders the run in both roles,
// starts and supervises the child, cleans up, and in the child hands over to the main library.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "os/os.h"
#include "payload/attached_data.h"
#include "payload/unpack.h"

namespace launcher {

// The whole run of one instance; the result is the process exit status.
int launcher_main(payload::AttachedData attached_data);

// ---- Roles --------------------------------------------------------------------------------

// Full path of the unpack directory; final before the console handler is registered.
extern char16_t unpack_directory[payload::path_capacity];

// True when a parent instance of this same executable runs under the id that
// ZAMRIK_ONEFILE_PARENT names.
bool detect_child_role();
// Parent role: drops the run-identity values of any earlier run and names this process as
// the parent.
void prepare_parent_environment();
// Expands the built-in unpack spec into unpack_directory and makes it a full path.
void determine_unpack_directory();
// Parent role, after the unpack: ZAMRIK_ONEFILE_DIRECTORY and ZAMRIK_ORIGINAL_ARGV0.
void publish_launcher_variables();

// ---- Child command line -------------------------------------------------------------------

inline constexpr std::size_t command_line_capacity = 32768;
extern char16_t child_command_line[command_line_capacity];

// A terminated line in a fixed buffer; every character appended must leave room for the
// terminator, or the process aborts.
struct CommandLine {
  char16_t* text;
  std::size_t capacity;
  std::size_t length = 0;

  void put(char16_t c);
  void put(char16_t c, std::size_t count);
};

// Appends one argument so that the child's C run-time splits it back unchanged.
void append_argument(CommandLine& line, const char16_t* argument);
// Writes first and then vector[1 .. count - 1], separated by blanks; the line starts empty.
void compose_command_line(CommandLine& line, const char16_t* first, int count, char16_t* const* vector);
// The parent's own command line with the module file name first, into child_command_line.
void build_child_command_line();

// ---- Supervision and cleanup --------------------------------------------------------------

// The child's process handle while it is supervised, null otherwise. Whoever takes it out
// (an atomic exchange with null) is the only one to use and close it afterwards.
extern std::atomic<os::Handle> child_process_handle;

// Starts the child with child_command_line, waits for it and returns its exit code (1 when it
// cannot be read).
std::uint32_t run_child();
// Up to 20 removals of the unpack directory, 100 ms apart; gives up silently.
void remove_unpack_directory();
// Every console event alike: gives the child 5 s, ends it otherwise, and removes the unpack
// directory. Returns false, so the event goes on to its default course.
bool console_event_handler(os::ConsoleEvent event);

// ---- Hand-off -----------------------------------------------------------------------------

// Child role: loads the main library from the unpack directory and returns what its entry
// returns. Ends the process with status 2 when the library or its entry is missing.
int hand_off_to_main_library();

}  // namespace launcher
