// The whole system surface of the launcher, in its own terms: UTF-16 text (char16_t), results
// exactly as the callers rely on them, and enums of its own where the system has numbers.
// os/win32/ forwards to the real Win32 calls; os/posix/ gives the nearest POSIX meaning (UTF-8
// at the boundary, "\" mapped to "/"). Decisions (limits, retries, messages) live above this
// layer, never inside it.
//
// POSIX has no meaning for a few calls, which are stubs there and answer as a system without
// the feature would: jobs (create_kill_on_close_job null, in_job and add_to_job false), a child
// made waiting before its first instruction (create_waiting_process and
// resume_waiting_process fail), other C run-times (loaded_runtime_put_environment null), the
// library search list (remove_current_directory_from_library_search, add_library_directory do
// nothing: the dynamic loader has none to change), the graphical subsystem and message boxes
// (graphical_program, show_message_box false; standard_stream_usable true), and short names
// (short_path_name gives the path itself).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace os {

// An opaque system handle. Every call that makes one answers null on failure: invalid_handle
// names that one value where a reader might take a null for "none asked for".
using Handle = void*;
inline constexpr Handle invalid_handle = nullptr;

// The system's code for the calling thread's last failure, as the launcher's messages print it.
std::uint32_t last_error();
// Failures that the launcher finds itself, before any system call could: the system's code with
// the same meaning, which messages print as they print last_error.
enum class Failure {
  command_line_too_long,  // a child's command line over the system's limit
};
std::uint32_t error_code(Failure failure);

// ---- Diagnostics ------------------------------------------------------------------------

// The C run-time's abnormal termination (abort), without the run-time's own dialog or text:
// a launcher of the graphical subsystem must never stop on a message box.
[[noreturn]] void abort_process();

// Writes text to the standard error stream of the C run-time. Wide text reaches a console as
// wide characters and a pipe or file as UTF-8, so non-ASCII paths arrive intact. Neither
// allocates: they report failures, a lack of memory among them.
void write_error(std::string_view text);
void write_error(std::u16string_view text);
// Whether the standard stream leads anywhere: false when the process was given no handle for
// it, as a windowed program started from the desktop is.
enum class StandardStream { output, error };
bool standard_stream_usable(StandardStream stream);
// Whether the process's executable is built for the graphical subsystem (no console of its own).
bool graphical_program();
// Shows text in a message box, titled title, until the user closes it: false when none can be
// shown. The library that makes windows is loaded only here.
bool show_message_box(const char16_t* text, const char16_t* title);
// The system's text for an error code, untrimmed, in buffer: its length, 0 when the system has
// none or it does not fit. Allocates nothing.
std::uint32_t system_error_text(std::uint32_t code, char16_t* buffer, std::uint32_t capacity);

// ---- Environment --------------------------------------------------------------------------

// The variable's value, stored with its terminator: its length; 0 when unset, empty or failed;
// the size needed (more than capacity - 1) when the value does not fit.
std::uint32_t get_environment_variable(const char16_t* name, char16_t* buffer, std::uint32_t capacity);
// Sets the variable in the process environment; a null value removes it.
void set_environment_variable(const char16_t* name, const char16_t* value);
// The launcher's own C run-time's _wputenv with an entry "name=value" ("name=" removes).
void runtime_put_environment(const char16_t* entry);
// _wputenv of another C run-time module, only when that module is already loaded; null when
// it is not loaded or does not export the function. Nothing is loaded here.
using PutEnvironmentFunction = int (*)(const char16_t* entry);
PutEnvironmentFunction loaded_runtime_put_environment(const char16_t* module_name);

// ---- Process, time, arguments -------------------------------------------------------------

std::uint32_t current_process_id();
// The system time in 100-nanosecond intervals since 1601-01-01 UTC.
std::int64_t system_time_as_file_time();
// A high-resolution counter into the caller's variable (its address seeds {RANDOM}).
void query_performance_counter(std::int64_t* counter);
// Milliseconds from a fixed point in the past, never going back, for time limits.
std::uint64_t monotonic_milliseconds();
// The C run-time's split of the command line (__argc, __wargv). The vector is the process's
// own: a test may replace an element and put it back.
int argument_count();
char16_t** argument_vector();

// ---- Folders ------------------------------------------------------------------------------

// The temporary directory, with a separator at its end, written straight into out: the length
// stored, or the size needed when it does not fit, 0 on failure. In both failing cases out[0]
// is 0, so the caller finds no text there.
std::uint32_t temp_path(char16_t* out, std::uint32_t capacity);
enum class ShellFolder { profile, local_app_data };
inline constexpr std::uint32_t shell_folder_capacity = 260;
// The folder's current path; false when the system cannot name it. out must hold
// shell_folder_capacity characters.
bool shell_folder_path(ShellFolder folder, char16_t* out);

// ---- Files and directories ----------------------------------------------------------------

enum class CreateDirectoryResult { created, already_exists, failed };
// Makes one directory; its parent must exist. A file of that name counts as already existing.
CreateDirectoryResult create_directory(const char16_t* path);
// Makes one new directory that only the user running the process may open, whatever the
// directory above allows; what is made below it later inherits that. Anything of that name (a
// directory, a file, a link) counts as already existing and is left as it is.
CreateDirectoryResult create_private_directory(const char16_t* path);
// Creates the file, or empties an existing one, for writing: null on failure.
Handle create_file_for_writing(const char16_t* path);
// Writes the whole span, as many calls as it takes: false on failure (last_error tells why),
// also when the system stops taking bytes without one.
bool write_file(Handle file, const void* data, std::uint32_t size);
// Opens an existing file for reading: null on failure.
Handle open_file_for_reading(const char16_t* path);
// Reads up to size bytes into data and stores how many in *read (0 at the end of the file):
// false on failure.
bool read_file(Handle file, void* data, std::uint32_t size, std::uint32_t* read);
// False when the system reports a failure, which for a written file can mean that its data did
// not all arrive.
bool close_handle(Handle handle);

// What a path names, a link at its end not followed.
enum class FileKind {
  none,            // nothing of that name
  unreadable,      // the system tells nothing about it (access denied, a name it refuses, ...)
  file,            // a file, or a link that does not lead to a directory
  directory,       // a directory that is no link
  directory_link,  // a link or junction that leads to a directory
};
FileKind file_kind(const char16_t* path);
// When the file or directory was made, as system_time_as_file_time counts. Where the system
// keeps no such time, a later one (its last change), never an earlier one. False on failure.
bool creation_time(const char16_t* path, std::int64_t* file_time);
bool delete_file(const char16_t* path);
// Removes an empty directory, or a directory link as itself.
bool remove_directory(const char16_t* path);
// Lists the directory at path, a link to one followed: the listing with its first entry, null on
// failure. Each entry's long name is stored in name, which holds entry_name_capacity
// characters, and what it is in kind, as file_kind tells it but read from the listing itself;
// the listing includes "." and "..". next_entry gives the others, false after the last one.
inline constexpr std::uint32_t entry_name_capacity = 260;
Handle list_directory(const char16_t* path, char16_t* name, FileKind* kind);
bool next_entry(Handle listing, char16_t* name, FileKind* kind);
void close_listing(Handle listing);

// ---- Directories walked by handle --------------------------------------------------------

// A directory held open while what lies below it is listed and removed by name relative to it,
// so that a name swapped for a link after it was listed is never followed.
//
// Opens name in the open directory at, or the path name when at is null, without following a
// link at its end, and checks by the handle that it is a directory and no link: the handle, or
// null with *kind telling what is there instead (none, unreadable, or a file or directory_link,
// which goes as itself). Closed with close_directory.
Handle open_directory(Handle at, const char16_t* name, FileKind* kind);
void close_directory(Handle directory);
// Whether the user running this process owns the open directory: false when the system will
// not tell.
bool owned_by_current_user(Handle directory);
// Lists the open directory as list_directory lists a path, "." and ".." included; the
// directory stays the caller's.
Handle list_open_directory(Handle directory, char16_t* name, FileKind* kind);
// Removes the entry name of the open directory as itself: a file, a link (never what it leads
// to) or an empty directory. True as well when nothing has that name.
bool remove_at(Handle directory, const char16_t* name);

// The full path of path, taken lexically against the current directory: the length without
// terminator, the size needed when it does not fit, 0 on failure.
std::uint32_t full_path_name(const char16_t* path, std::uint32_t capacity, char16_t* out);

// ---- Executable path and canonical paths --------------------------------------------------

// The launcher's module file name: the length stored, 0 on failure; a name that does not fit
// is cut to capacity - 1 characters and the result is then capacity.
std::uint32_t module_file_name(char16_t* buffer, std::uint32_t capacity);
// A handle for queries only, or null. A directory cannot be opened this way.
Handle open_for_query(const char16_t* path);
// The final path of an open file, every link resolved, in the system's own spelling (on Windows
// behind a "\\?\" prefix): results as full_path_name gives them, and 0 also where the system
// has no such call.
std::uint32_t final_path(Handle file, char16_t* buffer, std::uint32_t capacity);
// The short form of an existing path: with a null buffer the size needed including the
// terminator; otherwise the length stored, or a larger size needed; 0 on failure.
std::uint32_t short_path_name(const char16_t* path, char16_t* buffer, std::uint32_t capacity);

// ---- Processes and the console ------------------------------------------------------------

// A handle for reading the image path of the process with that id: null on failure.
Handle open_process_for_query(std::uint32_t process_id);
// The full path of the process's executable: the length stored, 0 on failure.
std::uint32_t process_image_path(Handle process, char16_t* buffer, std::uint32_t capacity);

enum class ConsoleEvent { ctrl_c, ctrl_break, close, logoff, shutdown };
// Runs on a thread of its own for each event, possibly several at once. True: the event is
// handled and goes no further; false: it takes its default course, which ends the process.
using ConsoleEventHandler = bool (*)(ConsoleEvent event);
// False when the handler cannot be registered.
bool add_console_event_handler(ConsoleEventHandler handler);

// Whether a process runs under an id: none (no process, or one that has ended and that only
// handles keep), running (it started at *start_time, as system_time_as_file_time counts), or
// unknown (the system will not tell).
enum class ProcessStatus { none, running, unknown };
ProcessStatus process_status(std::uint32_t process_id, std::int64_t* start_time);

// A job that ends every process in it once its last handle is closed, also when the process
// holding that handle dies, and whose processes start theirs outside it: null when the system
// makes none.
Handle create_kill_on_close_job();
// Starts application with the command line (writable), the launcher's handles inherited and
// its three standard handles passed on (a console program then writes through them and opens
// no window of its own): the process handle, null on failure. With a job, the child is in it
// before it runs any code of its own; one that the job cannot take runs without it.
Handle create_child_process(const char16_t* application, char16_t* command_line, Handle job);
// Whether the process runs in the job (a job of null: in any job); false where there are none.
bool in_job(Handle job, Handle process);
// The id of the process that the handle refers to: 0 when it cannot be read.
std::uint32_t process_id_of(Handle process);
// A child made as create_child_process makes it, but whose first thread has not started: none of
// its own code runs before resume_waiting_process.
struct WaitingProcess {
  Handle process = nullptr;
  Handle thread = nullptr;
};
// False when it cannot be made (last_error tells why). Only where there are jobs.
bool create_waiting_process(const char16_t* application, char16_t* command_line, WaitingProcess* child);
// False when the job does not take the process (a system without nested jobs, in a job already).
bool add_to_job(Handle job, Handle process);
// Lets the child run; child->process stays its handle. On failure the child is ended and
// child->process is null, and last_error tells why.
bool resume_waiting_process(WaitingProcess& child);
// A gate that a child made ahead inherits: it runs its own start-up while the parent works, and
// waits at the gate until the parent opens it. Null when the system makes none.
Handle create_start_gate();
// What a child passes to pass_start_gate: the gate's value as the child inherits it.
std::uint64_t start_gate_value(Handle gate);
// Lets every child that waits at the gate go on, and closes the parent's handle of it. False
// when it cannot be opened.
bool open_start_gate(Handle gate);
// Child side: waits until the parent opens the gate inherited as value, then closes it, so that
// nothing the child starts later inherits it. False when value names no gate to wait at.
bool pass_start_gate(std::uint64_t value);
// Ends a child that never ran, or waits at its start gate, and closes its handles.
void end_waiting_process(WaitingProcess& child);
enum class WaitResult { ended, timed_out, failed };
// Waits for the process to end, at most the given time or without a limit.
WaitResult wait_for(Handle process, std::uint32_t milliseconds);
WaitResult wait_for(Handle process);
// The exit code of a process that has ended: false when it cannot be read.
bool exit_code_of(Handle process, std::uint32_t* code);
void terminate(Handle process, std::uint32_t code);
// A second handle of the same process: null on failure.
Handle duplicate_handle(Handle handle);
void sleep_milliseconds(std::uint32_t milliseconds);

// ---- Threads ------------------------------------------------------------------------------

// Runs work(argument) on a new thread that nobody waits for: false when none can be started.
using ThreadWork = void (*)(void* argument);
bool start_thread(ThreadWork work, void* argument);
// Runs work(argument) on a new thread that join_thread waits for: its handle, null when none
// can be started.
Handle start_joinable_thread(ThreadWork work, void* argument);
// Waits until the thread has returned, then frees its handle.
void join_thread(Handle thread);
// A lock with one condition to wait for, shared by threads of this process: null when it
// cannot be made.
Handle create_monitor();
void destroy_monitor(Handle monitor);
void enter_monitor(Handle monitor);
void leave_monitor(Handle monitor);
// Called inside the monitor: leaves it, sleeps until woken (or for no reason at all), and
// enters it again before it returns.
void wait_in_monitor(Handle monitor);
// Wakes every thread that waits in the monitor.
void wake_monitor(Handle monitor);

// ---- Library loading ----------------------------------------------------------------------

// The current directory leaves the library search order.
void remove_current_directory_from_library_search();
// Adds a directory in which the libraries that a loaded library imports are looked for.
void add_library_directory(const char16_t* directory);
// Loads a library by its full path; its imports are found beside it, in the added directories
// and in the system's own: null on failure.
Handle load_library(const char16_t* path);
using MainLibraryEntry = int (*)(int argument_count, char16_t** argument_vector, const char16_t* library_path);
// The entry that a main library exports: null when it has none.
MainLibraryEntry main_library_entry(Handle module);

}  // namespace os

// ---- Parallel unpacking -------------------------------------------------------------------

namespace os {

// The processors that this process may run on (its affinity, where the system has one): at
// least 1.
std::uint32_t processor_count();
// Writes the whole span at offset, leaving alone what other threads write elsewhere in the same
// file at the same time: false on failure (last_error tells why), as write_file.
bool write_file_at(Handle file, const void* data, std::uint32_t size, std::uint64_t offset);

}  // namespace os
