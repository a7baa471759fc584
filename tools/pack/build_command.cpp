#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "app_folder.h"
#include "commands.h"
#include "host_files.h"
#include "launcher_file.h"
#include "mapped_file.h"
#include "pack_error.h"
#include "payload/attached_data_writer.h"
#include "pe_image.h"
#include "pe_resources.h"
#include "progress.h"
#include "run_target.h"
#include "scratch_space.h"
#include "terminal.h"

namespace pack {
namespace fs = std::filesystem;
namespace {

// The frame declares a window no larger than the content needs, so the launcher's decoder
// allocates no more than that.
int window_log_for(std::uint64_t content_size) {
  int log = 10;
  while (log < payload::max_window_log && (std::uint64_t{1} << log) < content_size) ++log;
  return log;
}

// The output need not exist yet, its folder does.
bool inside(const fs::path& path, const fs::path& folder) {
  std::error_code error;
  const fs::path parent = canonical_path(path.has_parent_path() ? path.parent_path() : fs::path("."), error);
  const fs::path real_folder = canonical_path(folder, error);
  if (error) return false;
  const fs::path relative = (parent / path.filename()).lexically_relative(real_folder);
  return !relative.empty() && *relative.begin() != "..";
}

void check_request(const BuildRequest& request) {
  const fs::path folder = request.output.has_parent_path() ? request.output.parent_path() : fs::path(".");
  std::error_code error;
  if (!fs::is_directory(folder, error)) throw InputError(utf8_of(request.output) + ": the folder " + utf8_of(folder) + " does not exist");
  if (fs::is_directory(request.output, error)) throw InputError(utf8_of(request.output) + ": is a folder");
  if (fs::is_directory(request.app_dir, error) && inside(request.output, request.app_dir)) {
    throw UsageError(utf8_of(request.output) + ": the output lies inside " + utf8_of(request.app_dir) +
                     ", so the next build would pack it");
  }
}

// What the packed program, or the main library, says about itself. A resource that cannot be
// read costs it nothing but its identity.
OwnResources own_resources(const AppFile& file, std::vector<std::string>& warnings) {
  try {
    const MappedFile bytes(file.source);
    return read_own_resources(bytes.bytes());
  } catch (const PeFormatError& error) {
    warnings.push_back(utf8_of(file.source) + ": " + error.what() + "; its version resource and icon are not taken");
  }
  return {};
}

}  // namespace

void build_executable(const BuildRequest& request) {
  const auto start = std::chrono::steady_clock::now();
  check_request(request);
  AppFolder folder = request.run ? scan_run_folder(request.app_dir, *request.run)
                                 : scan_app_folder(request.app_dir, request.main, request.check_main);
  // The program follows the runner and its record; a main library comes first.
  const AppFile& program = folder.files.at(request.run ? 2 : 0);
  const OwnResources own = own_resources(program, folder.warnings);
  for (const std::string& warning : folder.warnings) std::fprintf(stderr, "zamrik-pack: warning: %s\n", warning.c_str());
  const LauncherIdentity identity = decide_identity(request.identity, own, utf8_of(request.output.stem()));
  // A main library is windowed unless asked otherwise; a program stays what it is.
  Subsystem subsystem = Subsystem::windowed;
  if (request.subsystem) {
    subsystem = *request.subsystem;
  } else if (request.run) {
    subsystem = parse_pe_image(MappedFile(program.source).bytes()).subsystem == static_cast<std::uint16_t>(Subsystem::console)
                    ? Subsystem::console
                    : Subsystem::windowed;
  }
  // What only the identity decides fails here, before any compression.
  launcher_resources(identity);
  identity_section_contents(identity);

  std::vector<payload::AttachedFile> entries;
  for (const AppFile& file : folder.files) entries.push_back({file.path, file.contents, file.source});

  ScratchSpace scratch(request.output);
  ProgressBar bar(!request.quiet && stderr_is_terminal(), stderr, "compressing");
  payload::AttachedDataOptions options;
  options.level = request.level;
  options.threads = request.threads > 0 ? request.threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  options.checksum = request.checksum;
  options.window_log = window_log_for(folder.content_size);
  options.progress = [&bar](std::uint64_t done, std::uint64_t total) { bar.update(done, total); };
  payload::AttachedDataSummary summary;
  {
    std::iostream& out = scratch.stream();
    try {
      write_launcher(out, identity, subsystem, [&](std::ostream& stream) {
        summary = payload::write_attached_data(entries, options, stream);
        return summary.total_size;
      });
    } catch (const payload::AttachedDataError&) {
      // The data's writer sees a failed stream too, but not why it failed.
      if (out) throw;
    }
    if (!out) throw ToolError(scratch.write_failure());
  }
  bar.finish();
  scratch.commit(request.output);

  if (request.quiet) return;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double ratio = summary.content_size == 0 ? 0 : 100.0 * static_cast<double>(summary.stream_size) /
                                                           static_cast<double>(summary.content_size);
  // The user's own files count; the runner and its record are named, not counted.
  const std::size_t runner_files = request.run ? 2 : 0;
  std::uint64_t runner_size = 0;
  for (std::size_t i = 0; i < runner_files; ++i) runner_size += folder.files[i].size;
  const std::size_t count = folder.files.size() - runner_files;
  std::printf("packed %zu %s (%s)%s into %s (%s; data compressed to %s, %.1f%%) in %.1f s\n", count,
              count == 1 ? "file" : "files", format_size(summary.content_size - runner_size).c_str(),
              request.run ? " and the runner" : "", utf8_of(request.output).c_str(),
              format_size(fs::file_size(request.output)).c_str(), format_size(summary.stream_size).c_str(), ratio, seconds);
}

}  // namespace pack
