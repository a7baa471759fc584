// The launcher's four ways of ending on a failure, its messages, and the bounded-text rule:
// text lives in buffers of fixed capacity, and an overflow ends the process instead of
// truncating.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// The complete set of the launcher's own messages.
namespace message {
inline constexpr char spec_expansion[] = "Error, couldn't runtime expand spec '%ls'.\n";
inline constexpr char header[] = "Error, couldn't find attached data header.";
inline constexpr char memory[] = "Error, couldn't allocate memory.";
inline constexpr char decode[] = "Error, couldn't decode attached data.";
inline constexpr char open_for_writing[] = "Error, failed to open '%ls' for writing.\n";
inline constexpr char unpack_write[] = "Error, couldn't unpack file to target path.";
inline constexpr char signal_handler[] = "Error, failed to register signal handler.";
inline constexpr char launch_child[] = "Error, couldn't launch child";
inline constexpr char load_library[] = "Error, load DLL.";
inline constexpr char entry_point[] = "Error, DLL entry point not found.";
inline constexpr char no_main_library[] = "Error, attached data holds no main library.";
inline constexpr char parent_unknown[] = "Error, started as a child but couldn't recognise the parent.";
}  // namespace message

// What runs once before every ending with status 2 below, after the message: the parent removes
// its unpack directory there. An abort runs nothing. Set before anything that it would undo.
using FailureCleanup = void (*)();
void set_failure_cleanup(FailureCleanup cleanup);

// The message and a newline on standard output, then exit status 2.
[[noreturn]] void fatal_exit(const char* message);
// "Error, couldn't runtime expand spec '<spec>'." on standard error, then abort.
[[noreturn]] void fail_path_template_expansion(const char16_t* spec);
// "Error, failed to open '<path>' for writing." on standard error, then exit status 2.
[[noreturn]] void fail_open_for_writing(const char16_t* path);
// "<message> ([Error <code>] <system text>)" on standard error, then exit status 2. The code is
// the one the failed call left (os::last_error), read before anything else can change it.
[[noreturn]] void fail_with_system_error(const char* message, std::uint32_t code);
// Abnormal termination without a message: the end of every capacity overflow.
[[noreturn]] void abort_on_overflow();
// The same end for a fault that no message would explain to the user: a few bytes of memory that
// cannot be had, a call that the launcher's own state makes certain failing, text that the
// launcher wrote itself reading back malformed.
[[noreturn]] void abort_on_fault();

// Appends source to the terminated string in destination (capacity characters, terminator
// included), or aborts when the result and its terminator do not fit. A null source, and a
// destination without a terminator within the capacity, abort too.
void append_bounded(char16_t* destination, const char16_t* source, std::size_t capacity);

}  // namespace platform
