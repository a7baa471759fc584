#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "host_files.h"
#include "pack_error.h"
#include "scratch_space.h"

namespace pack {
namespace fs = std::filesystem;
namespace {

int signal_pipe[2] = {-1, -1};

extern "C" void forward_signal(int signal) {
  const char number = static_cast<char>(signal);
  [[maybe_unused]] const ssize_t ignored = ::write(signal_pipe[1], &number, 1);
}

constexpr int signals[] = {SIGINT, SIGTERM, SIGHUP};

// On SIGINT, SIGTERM or SIGHUP a watcher thread removes the partial file and lets the signal end
// the process as usual. One build runs at a time, so the state lives here.
std::mutex mutex;
std::thread watcher;
fs::path* watched = nullptr;

void remove_partial(fs::path& partial) {
  std::error_code ignored;
  if (!partial.empty()) fs::remove(partial, ignored);
  partial.clear();
}

void watch() {
  char number = 0;
  while (::read(signal_pipe[0], &number, 1) < 0 && errno == EINTR) {
  }
  if (number == 0) return;
  const std::lock_guard<std::mutex> lock(mutex);
  if (watched) remove_partial(*watched);
  std::signal(number, SIG_DFL);
  std::raise(number);
}

void stop_watching() {
  if (!watcher.joinable()) return;
  for (int signal : signals) std::signal(signal, SIG_DFL);
  forward_signal(0);
  watcher.join();
  ::close(signal_pipe[0]);
  ::close(signal_pipe[1]);
}

// A partial file only this young may still be between its creation and its writer's lock.
constexpr auto lock_grace = std::chrono::seconds(10);

}  // namespace

bool remove_if_abandoned(const fs::path& partial) {
  const int fd = ::open(partial.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  bool removed = false;
  struct stat status {};
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &status) == 0 &&
      std::chrono::system_clock::now() - std::chrono::system_clock::from_time_t(status.st_mtime) > lock_grace) {
    std::error_code ignored;
    removed = fs::remove(partial, ignored);
  }
  ::close(fd);
  return removed;
}

ScratchSpace::ScratchSpace(const fs::path& output) : output_(output) {
  remove_abandoned_partials(output);
  if (::pipe(signal_pipe) != 0) throw ToolError(std::string("cannot create a pipe: ") + std::strerror(errno));
  watcher = std::thread(watch);
  for (int signal : signals) std::signal(signal, forward_signal);

  const fs::path folder = output.has_parent_path() ? output.parent_path() : fs::path(".");
  int error = 0;
  {
    const std::lock_guard<std::mutex> lock(mutex);
    std::string partial = (folder / ("." + output.filename().string() + ".partial-XXXXXX")).string();
    const int fd = ::mkostemp(partial.data(), O_CLOEXEC);
    // Held until the file is closed: the sign to later builds that its writer is at work.
    if (fd >= 0) ::flock(fd, LOCK_EX);
    if (fd < 0) {
      error = errno;
    } else {
      partial_ = partial;
      watched = &partial_;
      open_stream(fd);
    }
  }
  if (error != 0) {
    stop_watching();
    throw InputError(utf8_of(folder) + ": cannot write here: " + std::strerror(error));
  }
}

ScratchSpace::~ScratchSpace() {
  stop_watching();
  const std::lock_guard<std::mutex> lock(mutex);
  try {
    close_stream();
  } catch (const std::exception&) {
    // The file goes anyway.
  }
  remove_partial(partial_);
  watched = nullptr;
}

void ScratchSpace::commit(const fs::path& output) {
  close_stream();
  // The temporary file was created private to its owner; give it the usual permissions.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  fs::permissions(partial_, static_cast<fs::perms>(0777 & ~mask));
  const std::lock_guard<std::mutex> lock(mutex);
  fs::rename(partial_, output);
  partial_.clear();
}

}  // namespace pack
