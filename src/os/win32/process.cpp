#include <atomic>

#include "os/os.h"
#include "os/win32/console_event.h"
#include "os/win32/process_image.h"
#include "os/win32/system_functions.h"
#include "os/win32/windows_api.h"

namespace os {

using win32::wide;

Handle open_process_for_query(std::uint32_t process_id) {
  return OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id);
}

std::uint32_t win32::queried_image_path(Handle process, char16_t* buffer, std::uint32_t capacity) {
  DWORD size = capacity;
  return QueryFullProcessImageNameW(process, 0, wide(buffer), &size) ? size : 0;
}

std::uint32_t process_image_path(Handle process, char16_t* buffer, std::uint32_t capacity) {
  // Vista lacks the call.
  const auto query = win32::kernel32_functions().get_module_file_name_ex;
  if (query == nullptr) return win32::queried_image_path(process, buffer, capacity);
  return query(process, nullptr, wide(buffer), capacity);
}

std::optional<ConsoleEvent> win32::console_event_of(std::uint32_t code) {
  switch (code) {
    case CTRL_C_EVENT: return ConsoleEvent::ctrl_c;
    case CTRL_BREAK_EVENT: return ConsoleEvent::ctrl_break;
    case CTRL_CLOSE_EVENT: return ConsoleEvent::close;
    case CTRL_LOGOFF_EVENT: return ConsoleEvent::logoff;
    case CTRL_SHUTDOWN_EVENT: return ConsoleEvent::shutdown;
    default: return std::nullopt;
  }
}

namespace {

std::atomic<ConsoleEventHandler> console_event_handler{nullptr};

BOOL WINAPI forward_console_event(DWORD code) {
  const std::optional<ConsoleEvent> event = win32::console_event_of(code);
  return event && console_event_handler.load()(*event) ? TRUE : FALSE;
}

}  // namespace

bool add_console_event_handler(ConsoleEventHandler handler) {
  console_event_handler.store(handler);
  return SetConsoleCtrlHandler(forward_console_event, TRUE) != 0;
}

ProcessStatus process_status(std::uint32_t process_id, std::int64_t* start_time) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, process_id);
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER ? ProcessStatus::none : ProcessStatus::unknown;
  ProcessStatus status = ProcessStatus::unknown;
  FILETIME created, ended, kernel, user;
  if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
    status = ProcessStatus::none;
  } else if (GetProcessTimes(process, &created, &ended, &kernel, &user)) {
    *start_time = static_cast<std::int64_t>((std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime);
    status = ProcessStatus::running;
  }
  CloseHandle(process);
  return status;
}

Handle create_kill_on_close_job() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

namespace {

bool usable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

bool create_process(const char16_t* application, char16_t* command_line, DWORD flags, PROCESS_INFORMATION* process) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  flags |= NORMAL_PRIORITY_CLASS;
  // A console program shares the console of a process that has one, and with it its events. A
  // process without one (a windowed launcher) gives it the handles instead: a window of its own
  // would only flash up empty. Without any (started from Explorer) it opens its console as usual.
  // A graphical program is not affected either way.
  const bool handles = usable(startup.hStdInput) || usable(startup.hStdOutput) || usable(startup.hStdError);
  if (!handles) startup.dwFlags = 0;
  if (handles && GetConsoleCP() == 0) flags |= CREATE_NO_WINDOW;
  return CreateProcessW(wide(application), wide(command_line), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup,
                        process) != 0;
}

}  // namespace

bool create_waiting_process(const char16_t* application, char16_t* command_line, WaitingProcess* child) {
  PROCESS_INFORMATION process{};
  if (!create_process(application, command_line, CREATE_SUSPENDED, &process)) return false;
  child->process = process.hProcess;
  child->thread = process.hThread;
  return true;
}

bool add_to_job(Handle job, Handle process) { return AssignProcessToJobObject(job, process) != 0; }

bool resume_waiting_process(WaitingProcess& child) {
  const bool resumed = ResumeThread(child.thread) != static_cast<DWORD>(-1);
  const DWORD error = GetLastError();
  CloseHandle(child.thread);
  child.thread = nullptr;
  if (!resumed) {
    TerminateProcess(child.process, 1);
    CloseHandle(child.process);
    child.process = nullptr;
    SetLastError(error);
  }
  return resumed;
}

Handle create_start_gate() {
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateEventW(&inherited, TRUE, FALSE, nullptr);
}

std::uint64_t start_gate_value(Handle gate) { return reinterpret_cast<std::uintptr_t>(gate); }

bool open_start_gate(Handle gate) {
  const bool opened = SetEvent(gate) != 0;
  const DWORD error = GetLastError();
  CloseHandle(gate);
  SetLastError(error);
  return opened;
}

bool pass_start_gate(std::uint64_t value) {
  // Only a gate that was waited at is closed: a value that names another handle of this process
  // is left alone.
  const auto gate = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
  if (WaitForSingleObject(gate, INFINITE) != WAIT_OBJECT_0) return false;
  CloseHandle(gate);
  return true;
}

void end_waiting_process(WaitingProcess& child) {
  TerminateProcess(child.process, 1);
  CloseHandle(child.thread);
  CloseHandle(child.process);
  child = {};
}

Handle create_child_process(const char16_t* application, char16_t* command_line, Handle job) {
  if (job == nullptr) {
    PROCESS_INFORMATION process{};
    if (!create_process(application, command_line, 0, &process)) return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
  }
  // Suspended until it is in the job, so that nothing it starts can slip past the job's rules.
  WaitingProcess child;
  if (!create_waiting_process(application, command_line, &child)) return nullptr;
  // A system without nested jobs refuses a process that is in a job already: it runs as before.
  add_to_job(job, child.process);
  return resume_waiting_process(child) ? child.process : nullptr;
}

bool in_job(Handle job, Handle process) {
  BOOL inside = FALSE;
  return IsProcessInJob(process, job, &inside) && inside;
}

std::uint32_t process_id_of(Handle process) { return GetProcessId(process); }

namespace {

WaitResult wait_result(DWORD result) {
  if (result == WAIT_OBJECT_0) return WaitResult::ended;
  return result == WAIT_TIMEOUT ? WaitResult::timed_out : WaitResult::failed;
}

}  // namespace

WaitResult wait_for(Handle process, std::uint32_t milliseconds) { return wait_result(WaitForSingleObject(process, milliseconds)); }

WaitResult wait_for(Handle process) { return wait_result(WaitForSingleObject(process, INFINITE)); }

// Asked while the process still runs, the system answers STILL_ACTIVE (259) as the code; the
// launcher asks only after a wait.
bool exit_code_of(Handle process, std::uint32_t* code) {
  DWORD value = 0;
  if (!GetExitCodeProcess(process, &value)) return false;
  *code = value;
  return true;
}

void terminate(Handle process, std::uint32_t code) { TerminateProcess(process, code); }

Handle duplicate_handle(Handle handle) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) return nullptr;
  return copy;
}

std::uint32_t error_code(Failure failure) {
  switch (failure) {
    case Failure::command_line_too_long: return ERROR_FILENAME_EXCED_RANGE;
  }
  return ERROR_INVALID_PARAMETER;
}

void sleep_milliseconds(std::uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace os
