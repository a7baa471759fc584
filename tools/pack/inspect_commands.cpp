
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "attached_data_reader.h"
#include "commands.h"
#include "host_files.h"
#include "launcher_image.h"
#include "mapped_file.h"
#include "pack_error.h"
#include "payload/frame_table.h"
#include "progress.h"
#include "run_target.h"
#include "terminal.h"
#include "text/wide_text.h"
#include "whole_file_check.h"

namespace pack {
namespace fs = std::filesystem;
namespace {

// The executable's attached data, read and checked as far as the table; every message names the
// file. whole: the file must also have the length that its headers describe.
struct OpenedAttachedData {
  explicit OpenedAttachedData(const fs::path& executable, bool whole = false) : file(executable) {
    try {
      if (whole) check_file_length(file.bytes());
      contents = read_attached_data(find_attached_data(file.bytes()));
    } catch (const InputError& error) {
      throw InputError(utf8_of(executable) + ": " + error.what());
    }
  }
  MappedFile file;
  AttachedDataContents contents;
};

// The stricter checks of verify and extract: what the launcher would refuse or what would leave
// the unpack directory, and a frame that the launcher can decode.
FrameInfo check_sound(const fs::path& executable, const AttachedDataContents& contents) {
  const std::vector<std::string> problems = table_problems(contents);
  if (!problems.empty()) {
    std::string message;
    for (const std::string& problem : problems) message += (message.empty() ? "" : "\n") + utf8_of(executable) + ": " + problem;
    throw InputError(message);
  }
  try {
    return check_frame(contents.stream, &contents.entries);
  } catch (const InputError& error) {
    throw InputError(utf8_of(executable) + ": " + error.what());
  }
}

void decode_with_progress(const fs::path& executable, const AttachedDataContents& contents, bool quiet, const char* label,
                          const EntryBytes& sink) {
  ProgressBar bar(!quiet && stderr_is_terminal(), stderr, label);
  std::uint64_t done = 0;
  try {
    decode_entries(contents, [&](std::size_t entry, std::span<const std::uint8_t> bytes, bool last_piece) {
      sink(entry, bytes, last_piece);
      done += bytes.size();
      bar.update(done, contents.content_size);
    });
  } catch (const InputError& error) {
    bar.finish();
    throw InputError(utf8_of(executable) + ": " + error.what());
  }
}

// Decodes the whole stream quietly; throws InputError naming the file when it is damaged.
void check_stream(const fs::path& executable, const AttachedDataContents& contents) {
  decode_with_progress(executable, contents, true, "verifying", [](std::size_t, auto, bool) {});
}

std::string ratio_text(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

class FileWriter {
 public:
  explicit FileWriter(fs::path directory) : directory_(std::move(directory)) {}
  ~FileWriter() {
    if (fd_ >= 0) close_file(fd_);
  }

  void write(const ListedEntry& entry, std::span<const std::uint8_t> bytes, bool last_piece) {
    if (fd_ < 0) open(entry);
    if (!write_all(fd_, bytes)) throw ToolError(utf8_of(current_) + ": cannot write: " + std::strerror(errno));
    if (last_piece) {
      if (!close_file(fd_)) throw ToolError(utf8_of(current_) + ": cannot write: " + std::strerror(errno));
      fd_ = -1;
    }
  }

 private:
  // Entry paths have passed the path rules: relative, no "..", no empty component. The folder
  // started empty and nothing here makes links, so every path stays inside it.
  void open(const ListedEntry& entry) {
    const std::optional<std::string> path = text::to_utf8(entry.path);
    if (!path) throw InputError(text::to_utf8_replacing(entry.path) + ": the path holds an unpaired surrogate, which has no form here");
    std::string host = *path;
    std::replace(host.begin(), host.end(), '\\', '/');
    current_ = directory_ / path_from_utf8(host);
    std::error_code error;
    fs::create_directories(current_.parent_path(), error);
    if (error) throw InputError(utf8_of(current_.parent_path()) + ": cannot create the folder: " + error.message());
    fd_ = create_for_writing(current_);
    if (fd_ < 0) throw InputError(utf8_of(current_) + ": cannot create: " + std::strerror(errno));
  }

  fs::path directory_;
  fs::path current_;
  int fd_ = -1;
};

std::optional<std::string> runs_of(const fs::path& executable, const AttachedDataContents& contents) {
  try {
    return what_runs(contents);
  } catch (const InputError& error) {
    throw InputError(utf8_of(executable) + ": " + error.what());
  }
}

void show_what_runs(const fs::path& executable, const AttachedDataContents& contents) {
  if (const std::optional<std::string> line = runs_of(executable, contents)) std::printf("runs: %s\n", line->c_str());
}

}  // namespace

void list_executable(const fs::path& executable) {
  const OpenedAttachedData opened(executable);
  const AttachedDataContents& contents = opened.contents;
  std::printf("%12s  %s\n", "size", "path");
  for (const ListedEntry& entry : contents.entries) {
    std::printf("%12llu  %s\n", static_cast<unsigned long long>(entry.size), text::to_utf8_replacing(entry.path).c_str());
  }
  const std::optional<payload::FrameTable> frames = payload::parse_frame_table(contents.stream);
  std::printf("%12llu  %zu files, compressed to %llu bytes (%s) in %llu frame%s\n",
              static_cast<unsigned long long>(contents.content_size), contents.entries.size(),
              static_cast<unsigned long long>(contents.stream_size),
              ratio_text(contents.stream_size, contents.content_size).c_str(),
              static_cast<unsigned long long>(frames ? frames->count : 1), frames && frames->count != 1 ? "s" : "");
  show_what_runs(executable, contents);
}

void verify_executable(const fs::path& executable, bool quiet) {
  const OpenedAttachedData opened(executable, true);
  const std::span<const std::uint8_t> bytes = opened.file.bytes();
  const bool unchanged = checksum_matches(bytes);
  std::optional<std::string> change = unchanged ? std::nullopt : place_change(bytes, embedded_launcher_image());
  // A change in the data shows as the data's own damage, named by the decoder; what then
  // remains unchecked byte for byte is the identity and the resources.
  const FrameInfo frame = check_sound(executable, opened.contents);
  if (!unchanged && !change) check_stream(executable, opened.contents);
  if (!unchanged && !change) {
    change = frame.checksum ? "in its identity strings or resources (sections .zamid, .rsrc)"
                            : "in its identity strings, its resources (sections .zamid, .rsrc) or its attached data, "
                              "which was packed without a checksum";
  }
  if (change) {
    throw InputError(utf8_of(executable) + ": changed after packing, " + *change +
                     ": the checksum in its headers does not match the file");
  }
  decode_with_progress(executable, opened.contents, quiet, "verifying", [](std::size_t, auto, bool) {});
  if (quiet) {
    runs_of(executable, opened.contents);
    return;
  }
  std::printf("%s: OK, %zu files, %llu bytes, %s\n", utf8_of(executable).c_str(), opened.contents.entries.size(),
              static_cast<unsigned long long>(opened.contents.content_size),
              frame.checksum ? "checksum matches" : "no checksum stored (decoded completely)");
  show_what_runs(executable, opened.contents);
}

void extract_executable(const fs::path& executable, const fs::path& directory, bool quiet) {
  const OpenedAttachedData opened(executable);
  check_sound(executable, opened.contents);
  // The runner and its record are the packer's, not the application's: left out, the folder
  // builds again with the --run options shown.
  std::optional<runner::RunRecord> record;
  try {
    record = run_record_of(opened.contents);
  } catch (const InputError& error) {
    throw InputError(utf8_of(executable) + ": " + error.what());
  }
  const std::size_t first = record ? 2 : 0;
  std::error_code error;
  if (fs::exists(directory, error)) {
    if (!fs::is_directory(directory, error)) throw InputError(utf8_of(directory) + ": exists and is not a folder");
    if (!fs::is_empty(directory, error)) {
      throw InputError(utf8_of(directory) + ": the folder is not empty; extract into a new or empty folder");
    }
  } else {
    fs::create_directories(directory, error);
    if (error) throw InputError(utf8_of(directory) + ": cannot create the folder: " + error.message());
  }
  FileWriter writer(directory);
  std::uint64_t written = 0;
  decode_with_progress(executable, opened.contents, quiet, "extracting",
                       [&](std::size_t entry, std::span<const std::uint8_t> bytes, bool last_piece) {
                         if (entry < first) return;
                         writer.write(opened.contents.entries[entry], bytes, last_piece);
                         written += bytes.size();
                       });
  if (quiet) return;
  const std::size_t count = opened.contents.entries.size() - first;
  std::printf("extracted %zu %s (%llu bytes) into %s\n", count, count == 1 ? "file" : "files",
              static_cast<unsigned long long>(written), utf8_of(directory).c_str());
  if (record) {
    std::printf("it runs %s; to pack it again: zamrik-pack build %s -o OUT.exe %s\n", text::to_utf8_replacing(record->program).c_str(),
                utf8_of(directory).c_str(), run_options(*record).c_str());
  }
}

}  // namespace pack
