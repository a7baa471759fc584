#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "app_folder.h"
#include "commands.h"
#include "pack_error.h"
#include "payload/block_builder.h"
#include "progress.h"

namespace pack {
namespace fs = std::filesystem;
namespace {

volatile std::sig_atomic_t pending_signal = 0;

extern "C" void note_signal(int signal) { pending_signal = signal; }

// Signals become an exception at the next progress step, so that the temporary files are
// removed on the way out instead of being left behind.
class SignalGuard {
 public:
  SignalGuard() {
    for (int signal : signals_) std::signal(signal, note_signal);
  }
  ~SignalGuard() {
    for (int signal : signals_) std::signal(signal, SIG_DFL);
  }
  static void check() {
    if (pending_signal != 0) throw Interrupted{pending_signal};
  }

 private:
  static constexpr int signals_[] = {SIGINT, SIGTERM, SIGHUP};
};

// The executable is linked under a hidden name beside its final place and renamed only once it is
// complete, so a failed or interrupted build never leaves a half-written file under that name.
class ScratchSpace {
 public:
  explicit ScratchSpace(const fs::path& output) {
    const fs::path folder = output.has_parent_path() ? output.parent_path() : fs::path(".");
    const std::string stem = "." + output.filename().string();
    std::string work = (folder / (stem + ".work-XXXXXX")).string();
    if (!::mkdtemp(work.data())) throw InputError(folder.string() + ": cannot write here: " + std::strerror(errno));
    work_ = work;
    std::string partial = (folder / (stem + ".partial-XXXXXX")).string();
    const int fd = ::mkstemp(partial.data());
    if (fd < 0) {
      const int error = errno;
      fs::remove_all(work_);
      throw InputError(folder.string() + ": cannot write here: " + std::strerror(error));
    }
    ::close(fd);
    partial_ = partial;
  }
  ~ScratchSpace() {
    std::error_code ignored;
    fs::remove_all(work_, ignored);
    if (!partial_.empty()) fs::remove(partial_, ignored);
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
    fs::rename(partial_, output);
    partial_.clear();
  }

 private:
  fs::path work_;
  fs::path partial_;
};

// The frame declares a window no larger than the content needs, so the launcher's decoder
// allocates no more than that; 2^27 bytes is its limit.
int window_log_for(std::uint64_t content_size) {
  int log = 10;
  while (log < 27 && (std::uint64_t{1} << log) < content_size) ++log;
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
  const AppFolder folder = scan_app_folder(request.app_dir, request.main, request.check_main);
  for (const std::string& warning : folder.warnings) std::fprintf(stderr, "zamrik-pack: warning: %s\n", warning.c_str());
  std::error_code error;
  if (!fs::is_directory(request.launcher_kit, error)) {
    throw InputError("launcher kit " + request.launcher_kit.string() +
                     ": no such folder; build the Windows preset, or name the kit with --launcher-kit");
  }

  std::vector<payload::BlockEntry> entries;
  for (const AppFile& file : folder.files) entries.push_back({file.path, {}, file.source});

  SignalGuard signals;
  ScratchSpace scratch(request.output);
  ProgressBar bar(!request.quiet && ::isatty(STDERR_FILENO), stderr, "compressing");
  payload::BlockOptions options;
  options.level = request.level;
  options.threads = request.threads > 0 ? request.threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  options.checksum = request.checksum;
  options.window_log = window_log_for(folder.content_size);
  options.progress = [&bar](std::uint64_t done, std::uint64_t total) {
    SignalGuard::check();
    bar.update(done, total);
  };
  const fs::path block_file = scratch.work() / "block.bin";
  payload::BlockSummary block;
  {
    std::ofstream out(block_file, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error(block_file.string() + ": cannot create the block file");
    try {
      block = payload::write_block(entries, options, out);
    } catch (...) {
      SignalGuard::check();
      throw;
    }
    out.close();
    if (!out) throw std::runtime_error(block_file.string() + ": writing the block failed");
  }
  bar.finish();
  SignalGuard::check();

  LinkInputs link;
  link.block_file = block_file;
  link.output = scratch.partial();
  link.identity = request.identity;
  link.launcher_kit = request.launcher_kit;
  link.work_directory = scratch.work();
  try {
    link_launcher(link);
  } catch (...) {
    SignalGuard::check();  // a signal also reaches the tools the link runs, and makes them fail
    throw;
  }
  SignalGuard::check();
  scratch.commit(request.output);

  if (request.quiet) return;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double ratio = block.content_size == 0 ? 0 : 100.0 * static_cast<double>(block.stream_size) /
                                                         static_cast<double>(block.content_size);
  std::printf("packed %zu files (%s) into %s (%s; data compressed to %s, %.1f%%) in %.1f s\n", folder.files.size(),
              format_size(block.content_size).c_str(), request.output.string().c_str(),
              format_size(fs::file_size(request.output)).c_str(), format_size(block.stream_size).c_str(), ratio, seconds);
}

}  // namespace pack
