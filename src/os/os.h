// The whole system surface of the launcher, in its own terms: UTF-16 text (char16_t), and
// results exactly as the callers rely on them. os/win32/ forwards to the real Win32 calls;
// os/posix/ gives the nearest POSIX meaning (UTF-8 at the boundary, "\" mapped to "/").
// Decisions (limits, retries, messages) live above this layer, never inside it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace os {

// An opaque system handle. `invalid_handle` is the value -1 that the file and search calls
// return on failure; process handles use null instead.
using Handle = void*;
inline Handle const invalid_handle = reinterpret_cast<Handle>(~std::uintptr_t{0});

// GetLastError, or errno mapped to the nearest Windows code on POSIX.
std::uint32_t last_error();
inline constexpr std::uint32_t error_already_exists = 183;

// ---- Diagnostics ------------------------------------------------------------------------

// The C run-time's abnormal termination (abort), without the run-time's own dialog or text:
// a launcher of the graphical subsystem must never stop on a message box.
[[noreturn]] void abort_process();

// Writes text to the standard error stream of the C run-time. Wide text reaches a console as
// wide characters and a pipe or file as UTF-8, so non-ASCII paths arrive intact.
void write_error(std::string_view text);
void write_error(std::u16string_view text);
// The system's text for an error code, untrimmed; false when the system has none.
bool system_error_text(std::uint32_t code, std::u16string& text);

// ---- Environment --------------------------------------------------------------------------

// GetEnvironmentVariableW: characters stored without the terminator; 0 when unset, empty or
// failed; the required size (more than capacity - 1) when the value does not fit.
std::uint32_t get_environment_variable(const char16_t* name, char16_t* buffer, std::uint32_t capacity);
// SetEnvironmentVariableW; a null value removes the variable. The result is not used.
void set_environment_variable(const char16_t* name, const char16_t* value);
// The launcher's own C run-time's _wputenv with an entry "name=value" ("name=" removes).
void runtime_put_environment(const char16_t* entry);
// _wputenv of another C run-time module, only when that module is already loaded; null when
// it is not loaded or does not export the function. Nothing is loaded here.
using PutEnvironmentFunction = int (*)(const char16_t* entry);
PutEnvironmentFunction loaded_runtime_put_environment(const char16_t* module_name);

// ---- Process, time, arguments -------------------------------------------------------------

std::uint32_t current_process_id();
// GetSystemTimeAsFileTime: 100-nanosecond intervals since 1601-01-01 UTC.
std::int64_t system_time_as_file_time();
// QueryPerformanceCounter into the caller's variable (its address seeds {RANDOM}).
void query_performance_counter(std::int64_t* counter);
// The C run-time's split of the command line (__argc, __wargv). The vector is the process's
// own: a test may replace an element and put it back.
int argument_count();
char16_t** argument_vector();
// GetCommandLineW split by CommandLineToArgvW; null when the split fails. The vector and its
// texts are one block that belongs to the caller (LocalFree on Windows, free on POSIX).
char16_t** split_process_command_line(int* count);

// ---- Folders ------------------------------------------------------------------------------

// GetTempPathW writing straight into out with the given capacity: the length stored, or the
// required size when it does not fit, 0 on failure. In both failing cases out[0] is 0, so the
// caller finds no text there.
std::uint32_t temp_path(char16_t* out, std::uint32_t capacity);
enum class ShellFolder { profile, local_app_data };
inline constexpr std::uint32_t shell_folder_capacity = 260;
// SHGetFolderPathW(NULL, folder, NULL, SHGFP_TYPE_CURRENT, out): true only for S_OK. out must
// hold shell_folder_capacity characters.
bool shell_folder_path(ShellFolder folder, char16_t* out);

// ---- Files and directories ----------------------------------------------------------------

enum class CreateDirectoryResult { created, already_exists, failed };
CreateDirectoryResult create_directory(const char16_t* path);
// CreateFileW(GENERIC_WRITE, FILE_SHARE_WRITE, CREATE_ALWAYS): invalid_handle on failure.
Handle create_file_for_writing(const char16_t* path);
// WriteFile of the whole span: false on failure (last_error tells why).
bool write_file(Handle file, const void* data, std::uint32_t size);
void close_handle(Handle handle);

inline constexpr std::uint32_t attribute_directory = 0x10;
inline constexpr std::uint32_t attribute_reparse_point = 0x400;
inline constexpr std::uint32_t invalid_attributes = 0xFFFFFFFF;
std::uint32_t file_attributes(const char16_t* path);
bool delete_file(const char16_t* path);
bool remove_directory(const char16_t* path);
// FindFirstFileW / FindNextFileW / FindClose. The entry's long name is stored in name, which
// holds find_name_capacity characters.
inline constexpr std::uint32_t find_name_capacity = 260;
Handle find_first_file(const char16_t* pattern, char16_t* name);
bool find_next_file(Handle search, char16_t* name);
void find_close(Handle search);

// GetFullPathNameW(path, capacity, out, NULL): the length without terminator, the required
// size when it does not fit, 0 on failure.
std::uint32_t full_path_name(const char16_t* path, std::uint32_t capacity, char16_t* out);

// ---- Executable path and canonical paths --------------------------------------------------

// GetModuleFileNameW(NULL, buffer, capacity): length stored, 0 on failure.
std::uint32_t module_file_name(char16_t* buffer, std::uint32_t capacity);
// CreateFileW(path, 0, share all, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL): a handle for queries
// only, or invalid_handle. A directory cannot be opened this way.
Handle open_for_query(const char16_t* path);
// GetFinalPathNameByHandleW, looked up at run time; null when the system lacks it.
using FinalPathFunction = std::uint32_t (*)(Handle file, char16_t* buffer, std::uint32_t capacity, std::uint32_t flags);
FinalPathFunction final_path_function();
// GetShortPathNameW: with a null buffer the size needed including the terminator; otherwise
// the length stored, or a larger required size; 0 on failure.
std::uint32_t short_path_name(const char16_t* path, char16_t* buffer, std::uint32_t capacity);

// ---- Processes and the console ------------------------------------------------------------

// OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id): null on failure.
Handle open_process_for_query(std::uint32_t process_id);
// K32GetModuleFileNameExW(process, NULL, buffer, capacity): length stored, 0 on failure.
std::uint32_t process_image_path(Handle process, char16_t* buffer, std::uint32_t capacity);

using ConsoleEventHandler = int (*)(std::uint32_t event);
// SetConsoleCtrlHandler(handler, TRUE): false on failure.
bool add_console_event_handler(ConsoleEventHandler handler);

// CreateProcessW(application, command_line (writable), NULL, NULL, TRUE, NORMAL_PRIORITY_CLASS,
// NULL, NULL, start-up information with STARTF_USESTDHANDLES and the three standard handles).
// The thread handle is closed at once; the process handle is returned, null on failure.
Handle create_child_process(const char16_t* application, char16_t* command_line);
inline constexpr std::uint32_t wait_object_0 = 0;
inline constexpr std::uint32_t wait_infinite = 0xFFFFFFFF;
std::uint32_t wait_for(Handle process, std::uint32_t milliseconds);
// GetExitCodeProcess: false on failure.
bool exit_code_of(Handle process, std::uint32_t* code);
void terminate(Handle process, std::uint32_t code);
// DuplicateHandle of a process handle within this process: null on failure.
Handle duplicate_handle(Handle handle);
void sleep_milliseconds(std::uint32_t milliseconds);

// ---- Library loading ----------------------------------------------------------------------

// SetDllDirectoryW(L""): the current directory leaves the library search order.
void remove_current_directory_from_library_search();
// AddDllDirectory; the cookie is not kept.
void add_library_directory(const char16_t* directory);
// LoadLibraryExW(path, NULL, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | _USER_DIRS | _SYSTEM32): null on
// failure.
Handle load_library(const char16_t* path);
using MainLibraryEntry = int (*)(int argument_count, char16_t** argument_vector, const char16_t* library_path);
// GetProcAddress(module, MAKEINTRESOURCE(1)): null when there is no ordinal-1 export.
MainLibraryEntry ordinal_one_entry(Handle module);

}  // namespace os
