#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "app_folder.h"
#include "commands.h"
#include "pack_error.h"
#include "payload/attached_data_writer.h"
#include "progress.h"
#include "run_target.h"

namespace pack {
namespace fs = std::filesystem;
namespace {

int signal_pipe[2] = {-1, -1};

extern "C" void forward_signal(int signal) {
  const char number = static_cast<char>(signal);
  [[maybe_unused]] const ssize_t ignored = ::write(signal_pipe[1], &number, 1);
}

// The executable is linked under a hidden name beside its final place and renamed only once it is
// complete, so a failed build never leaves a half-written file under that name, and the scratch
// files go with the build. On SIGINT, SIGTERM or SIGHUP a watcher thread removes them and lets the
// signal end the process as usual: waiting for the build to notice would take as long as the
// compression job under way, which cannot be stopped midway.
class ScratchSpace {
 public:
  explicit ScratchSpace(const fs::path& output) {
    if (::pipe(signal_pipe) != 0) throw std::runtime_error(std::string("cannot create a pipe: ") + std::strerror(errno));
    watcher_ = std::thread([this] { watch(); });
    for (int signal : signals_) std::signal(signal, forward_signal);

    const fs::path folder = output.has_parent_path() ? output.parent_path() : fs::path(".");
    const std::string stem = "." + output.filename().string();
    int error = 0;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      std::string work = (folder / (stem + ".work-XXXXXX")).string();
      std::string partial = (folder / (stem + ".partial-XXXXXX")).string();
      int fd = -1;
      if (::mkdtemp(work.data())) {
        work_ = work;
        fd = ::mkstemp(partial.data());
      }
      if (fd < 0) {
        error = errno;
      } else {
        ::close(fd);
        partial_ = partial;
      }
    }
    if (error != 0) {
      stop_watching();
      remove_files();
      throw InputError(folder.string() + ": cannot write here: " + std::strerror(error));
    }
  }
  ~ScratchSpace() {
    stop_watching();
    remove_files();
  }
  ScratchSpace(const ScratchSpace&) = delete;
  ScratchSpace& operator=(const ScratchSpace&) = delete;

  const fs::path& work() const { return work_; }
  const fs::path& partial() const { return partial_; }

  void commit(const fs::path& output) {
    // The temporary file was created private to its owner; give it the usual permissions.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    fs::permissions(partial_, static_cast<fs::perms>(0777 & ~mask));
    const std::lock_guard<std::mutex> lock(mutex_);
    fs::rename(partial_, output);
    partial_.clear();
  }

 private:
  void watch() {
    char number = 0;
    while (::read(signal_pipe[0], &number, 1) < 0 && errno == EINTR) {
    }
    if (number == 0) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    remove_files();
    std::signal(number, SIG_DFL);
    std::raise(number);
  }

  void stop_watching() {
    if (!watcher_.joinable()) return;
    for (int signal : signals_) std::signal(signal, SIG_DFL);
    forward_signal(0);
    watcher_.join();
    ::close(signal_pipe[0]);
    ::close(signal_pipe[1]);
  }

  void remove_files() {
    std::error_code ignored;
    if (!work_.empty()) fs::remove_all(work_, ignored);
    if (!partial_.empty()) fs::remove(partial_, ignored);
  }

  static constexpr int signals_[] = {SIGINT, SIGTERM, SIGHUP};
  std::mutex mutex_;
  std::thread watcher_;
  fs::path work_;
  fs::path partial_;
};

// The frame declares a window no larger than the content needs, so the launcher's decoder
// allocates no more than that.
int window_log_for(std::uint64_t content_size) {
  int log = 10;
  while (log < payload::max_window_log && (std::uint64_t{1} << log) < content_size) ++log;
  return log;
}

bool inside(const fs::path& path, const fs::path& folder) {
  const fs::path relative = fs::weakly_canonical(path).lexically_relative(fs::canonical(folder));
  return !relative.empty() && *relative.begin() != "..";
}

void check_request(const BuildRequest& request) {
  const fs::path folder = request.output.has_parent_path() ? request.output.parent_path() : fs::path(".");
  std::error_code error;
  if (!fs::is_directory(folder, error)) throw InputError(request.output.string() + ": the folder " + folder.string() + " does not exist");
  if (fs::is_directory(request.output, error)) throw InputError(request.output.string() + ": is a folder");
  if (fs::is_directory(request.app_dir, error) && inside(request.output, request.app_dir)) {
    throw UsageError(request.output.string() + ": the output lies inside " + request.app_dir.string() +
                     ", so the next build would pack it");
  }
  if (!request.identity.icon.empty()) {
    std::ifstream icon(request.identity.icon, std::ios::binary);
    char head[4] = {};
    if (!icon) throw InputError(request.identity.icon.string() + ": cannot open the icon");
    if (!icon.read(head, 4) || std::memcmp(head, "\0\0\1\0", 4) != 0) {
      throw InputError(request.identity.icon.string() + ": not an .ico file");
    }
  }
}

}  // namespace

void build_executable(const BuildRequest& request) {
  const auto start = std::chrono::steady_clock::now();
  check_request(request);
  const AppFolder folder = request.run ? scan_run_folder(request.app_dir, *request.run, request.launcher_kit)
                                       : scan_app_folder(request.app_dir, request.main, request.check_main);
  for (const std::string& warning : folder.warnings) std::fprintf(stderr, "zamrik-pack: warning: %s\n", warning.c_str());
  std::error_code error;
  if (!fs::is_directory(request.launcher_kit, error)) {
    throw InputError("launcher kit " + request.launcher_kit.string() +
                     ": no such folder; build the Windows preset, or name the kit with --launcher-kit");
  }

  std::vector<payload::AttachedFile> entries;
  for (const AppFile& file : folder.files) entries.push_back({file.path, file.contents, file.source});

  ScratchSpace scratch(request.output);
  ProgressBar bar(!request.quiet && ::isatty(STDERR_FILENO), stderr, "compressing");
  payload::AttachedDataOptions options;
  options.level = request.level;
  options.threads = request.threads > 0 ? request.threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  options.checksum = request.checksum;
  options.window_log = window_log_for(folder.content_size);
  options.progress = [&bar](std::uint64_t done, std::uint64_t total) { bar.update(done, total); };
  const fs::path attached_data_file = scratch.work() / "attached_data.bin";
  payload::AttachedDataSummary summary;
  {
    std::ofstream out(attached_data_file, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error(attached_data_file.string() + ": cannot create the block file");
    summary = payload::write_attached_data(entries, options, out);
    out.close();
    if (!out) throw std::runtime_error(attached_data_file.string() + ": writing the block failed");
  }
  bar.finish();

  LinkInputs link;
  link.attached_data_file = attached_data_file;
  link.output = scratch.partial();
  link.identity = request.identity;
  link.launcher_kit = request.launcher_kit;
  link.work_directory = scratch.work();
  link_launcher(link);
  scratch.commit(request.output);

  if (request.quiet) return;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double ratio = summary.content_size == 0 ? 0 : 100.0 * static_cast<double>(summary.stream_size) /
                                                           static_cast<double>(summary.content_size);
  std::printf("packed %zu files (%s) into %s (%s; data compressed to %s, %.1f%%) in %.1f s\n", folder.files.size(),
              format_size(summary.content_size).c_str(), request.output.string().c_str(),
              format_size(fs::file_size(request.output)).c_str(), format_size(summary.stream_size).c_str(), ratio, seconds);
}

}  // namespace pack
