#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "command_line/command_line.h"
#include "os/os.h"
#include "os/posix/descriptor.h"
#include "os/posix/file_time.h"
#include "os/posix/text.h"

extern char** environ;

namespace os {

using posix::descriptor_of;
using posix::handle_of;

namespace {

// The console events' nearest signals: interrupt, quit, hang-up, termination.
constexpr int event_signals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

ConsoleEvent event_of(int signal_number) {
  switch (signal_number) {
    case SIGINT: return ConsoleEvent::ctrl_c;
    case SIGQUIT: return ConsoleEvent::ctrl_break;
    case SIGHUP: return ConsoleEvent::close;
    default: return ConsoleEvent::shutdown;
  }
}

std::atomic<ConsoleEventHandler> console_event_handler{nullptr};

// Like the system's thread per console event: each signal runs the handler on a thread of its
// own, and an event that the handler leaves unhandled takes the signal's default action.
void watch_console_signals(sigset_t signals) {
  for (;;) {
    int signal_number = 0;
    if (sigwait(&signals, &signal_number) != 0) continue;
    std::thread([signal_number] {
      if (console_event_handler.load()(event_of(signal_number))) return;
      ::signal(signal_number, SIG_DFL);
      sigset_t just_this;
      sigemptyset(&just_this);
      sigaddset(&just_this, signal_number);
      pthread_sigmask(SIG_UNBLOCK, &just_this, nullptr);
      ::raise(signal_number);
    }).detach();
  }
}

}  // namespace

// Process handles are descriptors as well (a /proc directory to query, a pidfd to supervise),
// so close_handle serves both.
Handle open_process_for_query(std::uint32_t process_id) {
  const std::string directory = "/proc/" + std::to_string(process_id);
  return handle_of(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

std::uint32_t process_image_path(Handle process, char16_t* buffer, std::uint32_t capacity) {
  char target[PATH_MAX];
  const ssize_t length = ::readlinkat(descriptor_of(process), "exe", target, sizeof target - 1);
  if (length <= 0) return 0;
  const std::u16string path = posix::launcher_path(std::string_view(target, static_cast<std::size_t>(length)));
  return path.size() < capacity ? posix::store_text(path, buffer, capacity) : 0;
}

bool add_console_event_handler(ConsoleEventHandler handler) {
  console_event_handler.store(handler);
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal_number : event_signals) sigaddset(&signals, signal_number);
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return false;
  std::thread(watch_console_signals, signals).detach();
  return true;
}

ProcessStatus process_status(std::uint32_t process_id, std::int64_t* start_time) {
  const std::string path = "/proc/" + std::to_string(process_id) + "/stat";
  const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return errno == ENOENT ? ProcessStatus::none : ProcessStatus::unknown;
  char text[1024];
  const ssize_t length = ::read(file, text, sizeof text - 1);
  ::close(file);
  if (length <= 0) return ProcessStatus::unknown;
  text[length] = '\0';
  // "pid (name) state ppid ...": the name may hold blanks and parentheses, so the fields are
  // counted from its last ")". The start is field 22, in clock ticks after boot.
  const char* fields = std::strrchr(text, ')');
  if (fields == nullptr) return ProcessStatus::unknown;
  std::istringstream rest(fields + 1);
  std::string state;
  rest >> state;
  if (state == "Z" || state == "X") return ProcessStatus::none;  // ended, only not yet reaped
  std::string skipped;
  for (int field = 4; field < 22; ++field) rest >> skipped;
  long long ticks = 0;
  if (!(rest >> ticks)) return ProcessStatus::unknown;
  timespec now{}, since_boot{};
  clock_gettime(CLOCK_REALTIME, &now);
  clock_gettime(CLOCK_BOOTTIME, &since_boot);
  constexpr std::int64_t billion = 1'000'000'000;
  const std::int64_t boot = (now.tv_sec - since_boot.tv_sec) * billion + (now.tv_nsec - since_boot.tv_nsec);
  const std::int64_t started = boot + ticks * billion / ::sysconf(_SC_CLK_TCK);
  *start_time = posix::file_time_of(started / billion, started % billion);
  return ProcessStatus::running;
}

// POSIX has no jobs. Their nearest, a parent-death signal, is set by the child itself between
// fork and exec, which posix_spawn leaves no room for.
Handle create_kill_on_close_job() { return nullptr; }

Handle create_child_process(const char16_t* application, char16_t* command_line, Handle) {
  // Split by the Windows rules, so that a line written for a Windows child gives the same
  // arguments here.
  std::vector<std::string> arguments;
  for (const std::u16string& argument : command_line::split(command_line)) arguments.push_back(posix::to_utf8(argument));
  std::vector<char*> vector;
  for (std::string& argument : arguments) vector.push_back(argument.data());
  vector.push_back(nullptr);

  // The child starts with no signal blocked, whatever the console watch has blocked here.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t child = 0;
  const int failed = posix_spawn(&child, posix::native_path(application).c_str(), nullptr, &attributes, vector.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) {
    errno = failed;
    return nullptr;
  }
  return handle_of(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
}

bool in_job(Handle, Handle) { return false; }

// A process handle here is a pidfd, whose information names the process.
std::uint32_t process_id_of(Handle process) {
  std::ifstream information("/proc/self/fdinfo/" + std::to_string(descriptor_of(process)));
  for (std::string line; std::getline(information, line);) {
    if (line.rfind("Pid:", 0) == 0) {
      const long id = std::strtol(line.c_str() + 4, nullptr, 10);
      return id > 0 ? static_cast<std::uint32_t>(id) : 0;
    }
  }
  return 0;
}

// Never asked for: a child waits only in a job, and POSIX has none.
bool create_waiting_process(const char16_t*, char16_t*, WaitingProcess*) {
  errno = ENOSYS;
  return false;
}

bool add_to_job(Handle, Handle) { return false; }

bool resume_waiting_process(WaitingProcess&) {
  errno = ENOSYS;
  return false;
}

void end_waiting_process(WaitingProcess& child) { child = {}; }

// The gate is an event counter that children inherit (it is made without close-on-exec): it
// reads as ready, to every holder at once, once the parent has counted one.
Handle create_start_gate() { return handle_of(::eventfd(0, 0)); }

std::uint64_t start_gate_value(Handle gate) { return static_cast<std::uint64_t>(descriptor_of(gate)); }

bool open_start_gate(Handle gate) {
  const std::uint64_t one = 1;
  const bool opened = ::write(descriptor_of(gate), &one, sizeof one) == static_cast<ssize_t>(sizeof one);
  ::close(descriptor_of(gate));
  return opened;
}

bool pass_start_gate(std::uint64_t value) {
  // Only an event counter is waited at and closed: a value that names another descriptor of this
  // process leaves it alone.
  char target[64] = {};
  if (value > INT_MAX || ::readlink(("/proc/self/fd/" + std::to_string(value)).c_str(), target, sizeof target - 1) < 0 ||
      std::strcmp(target, "anon_inode:[eventfd]") != 0) {
    errno = EBADF;
    return false;
  }
  const int gate = static_cast<int>(value);
  pollfd watched{gate, POLLIN, 0};
  int ready = 0;
  while ((ready = ::poll(&watched, 1, -1)) < 0 && errno == EINTR) {
  }
  if (ready <= 0) return false;
  ::close(gate);
  return true;
}

namespace {

// A pidfd reads as ready once its process has ended. A timeout of -1 waits without a limit.
WaitResult wait_until_ended(Handle process, int timeout) {
  pollfd watched{descriptor_of(process), POLLIN, 0};
  int ready = 0;
  while ((ready = ::poll(&watched, 1, timeout)) < 0 && errno == EINTR) {
  }
  if (ready > 0) return WaitResult::ended;
  return ready == 0 ? WaitResult::timed_out : WaitResult::failed;
}

}  // namespace

WaitResult wait_for(Handle process, std::uint32_t milliseconds) {
  return wait_until_ended(process, static_cast<int>(std::min<std::uint32_t>(milliseconds, INT_MAX)));
}

WaitResult wait_for(Handle process) { return wait_until_ended(process, -1); }

bool exit_code_of(Handle process, std::uint32_t* code) {
  // P_PIDFD, which this C library does not name yet. The child stays waitable, so every
  // handle of it can read the code.
  constexpr auto by_pidfd = static_cast<idtype_t>(3);
  siginfo_t info{};
  if (::waitid(by_pidfd, static_cast<id_t>(descriptor_of(process)), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  if (info.si_pid == 0) return false;  // still running: there is no code yet
  if (info.si_code == CLD_EXITED) {
    *code = static_cast<std::uint32_t>(info.si_status);
  } else {
    *code = 128 + static_cast<std::uint32_t>(info.si_status);  // ended by a signal, as a shell reports it
  }
  return true;
}

// A signal carries no exit code: the child ends by SIGKILL whatever code is asked for.
void terminate(Handle process, std::uint32_t) { ::syscall(SYS_pidfd_send_signal, descriptor_of(process), SIGKILL, nullptr, 0); }

Handle duplicate_handle(Handle handle) { return handle_of(::fcntl(descriptor_of(handle), F_DUPFD_CLOEXEC, 0)); }

std::uint32_t error_code(Failure failure) {
  switch (failure) {
    case Failure::command_line_too_long: return E2BIG;
  }
  return EINVAL;
}

void sleep_milliseconds(std::uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace os
