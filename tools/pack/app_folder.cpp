#include "app_folder.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <system_error>

#include "entry_path.h"
#include "host_files.h"
#include "mapped_file.h"
#include "pack_error.h"
#include "pe_image.h"
#include "payload/attached_data.h"
#include "payload/unpack.h"
#include "runner/run_record.h"
#include "text/wide_text.h"

namespace pack {
namespace fs = std::filesystem;
namespace {

// Below a usual temporary directory (C:\Users\NAME\AppData\Local\Temp\onefile_..., about 80
// units) a longer path passes the 260-unit limit that Windows keeps unless long paths are on.
constexpr std::size_t classic_limit_path_units = 180;
constexpr std::size_t max_problems_shown = 40;

class Walker {
 public:
  Walker(const fs::path& shown_root, const fs::path& real_root) : shown_root_(shown_root), real_root_(real_root) {}

  void walk(const fs::path& directory, const fs::path& relative, const std::u16string& prefix) {
    std::error_code error;
    std::vector<fs::path> children = list_folder(directory, error);
    if (error) {
      problems.push_back(shown(relative) + ": cannot list the folder: " + error.message());
      return;
    }
    if (children.empty() && !prefix.empty()) {
      warnings.push_back(shown(relative) + ": empty folder, left out (only files are packed)");
    }
    std::sort(children.begin(), children.end(),
              [](const fs::path& a, const fs::path& b) { return utf8_of(a.filename()) < utf8_of(b.filename()); });
    for (const fs::path& child : children) visit(child, relative / child.filename(), prefix);
  }

  std::string shown(const fs::path& relative) const { return utf8_of(shown_root_ / relative); }

  std::vector<AppFile> files;
  std::vector<std::string> problems;
  std::vector<std::string> warnings;

 private:
  void visit(fs::path actual, const fs::path& relative, const std::u16string& prefix) {
    const std::optional<std::u16string> name = name_units(actual.filename());
    if (!name) {
      problems.push_back(shown(relative) + ": the name is not valid UTF-8, so it has no Windows form");
      return;
    }
    if (name->find(u'\\') != std::u16string::npos) {
      problems.push_back(shown(relative) + ": the name holds '\\', which Windows reads as a folder separator");
      return;
    }
    const std::u16string entry = prefix.empty() ? *name : prefix + u"\\" + *name;
    std::error_code error;
    fs::file_status status = fs::symlink_status(actual, error);
    if (fs::is_symlink(status)) {
      const fs::path target = canonical_path(actual, error);
      if (error) {
        problems.push_back(shown(relative) + ": broken link (to " + utf8_of(fs::read_symlink(actual, error)) + ")");
        return;
      }
      const fs::path inside = target.lexically_relative(real_root_);
      if (inside.empty() || *inside.begin() == "..") {
        problems.push_back(shown(relative) + ": link to " + utf8_of(target) + ", outside the application folder");
        return;
      }
      actual = target;
      status = fs::status(actual, error);
    }
    if (fs::is_regular_file(status)) {
      add_file(actual, relative, entry);
    } else if (fs::is_directory(status)) {
      const fs::path real = canonical_path(actual, error);
      if (std::find(open_directories_.begin(), open_directories_.end(), real) != open_directories_.end()) {
        problems.push_back(shown(relative) + ": link back to " + utf8_of(real) + ", which would make a loop");
        return;
      }
      open_directories_.push_back(real);
      walk(actual, relative, entry);
      open_directories_.pop_back();
    } else {
      problems.push_back(shown(relative) + ": not a regular file, folder or link (a pipe, socket or device?)");
    }
  }

  void add_file(const fs::path& actual, const fs::path& relative, const std::u16string& entry) {
    std::error_code error;
    const std::uint64_t size = fs::file_size(actual, error);
    if (error || !std::ifstream(actual, std::ios::binary)) {
      problems.push_back(shown(relative) + ": cannot be read" + (error ? ": " + error.message() : ""));
      return;
    }
    files.push_back({entry, actual, size});
  }

  fs::path shown_root_;
  fs::path real_root_;
  std::vector<fs::path> open_directories_{real_root_};
};

// How the user finds an entry on the host: the folder as given, then the path with "/".
std::string shown_path(const std::string& root, const std::u16string& entry) {
  std::string path = text::to_utf8_replacing(entry);
  std::replace(path.begin(), path.end(), '\\', '/');
  return utf8_of(path_from_utf8(root) / path_from_utf8(path));
}

// Two names that differ only in case are one file on Windows: the second would overwrite the
// first, or a file would take the place of a folder.
void check_case_collisions(const std::string& root, const std::vector<AppFile>& files,
                           std::vector<std::string>& problems) {
  std::map<std::u16string, std::u16string> folded_files;
  std::map<std::u16string, std::u16string> folded_folders;
  for (const AppFile& file : files) {
    folded_files.emplace(text::fold_case(file.path), file.path);
    for (std::size_t cut = file.path.find(u'\\'); cut != std::u16string::npos; cut = file.path.find(u'\\', cut + 1)) {
      folded_folders.emplace(text::fold_case(file.path.substr(0, cut)), file.path.substr(0, cut));
    }
  }
  for (const AppFile& file : files) {
    const std::u16string folded = text::fold_case(file.path);
    const std::u16string& first = folded_files.at(folded);
    if (first != file.path) {
      problems.push_back(shown_path(root, file.path) + ": differs from " + text::to_utf8_replacing(first) +
                         " only in case; Windows would unpack both to one file");
    }
    const auto folder = folded_folders.find(folded);
    if (folder != folded_folders.end()) {
      problems.push_back(shown_path(root, file.path) + ": a file with the name of the folder " + text::to_utf8_replacing(folder->second) +
                         " (names on Windows ignore case)");
    }
  }
}

void check_paths(const std::string& root, const std::vector<AppFile>& files, std::vector<std::string>& problems,
                 std::vector<std::string>& warnings) {
  std::size_t over_classic_limit = 0;
  const AppFile* longest = nullptr;
  for (const AppFile& file : files) {
    const std::string problem = entry_path_problem(file.path);
    if (!problem.empty()) {
      problems.push_back(shown_path(root, file.path) + ": the path " + problem);
      continue;
    }
    // The runner reads its record beside itself, wherever a folder places it; the parent writes
    // its mark at the top of the unpack directory.
    const std::u16string folded = text::fold_case(file.path);
    const std::u16string folded_name = folded.substr(folded.rfind(u'\\') + 1);
    if (folded_name == text::fold_case(runner::record_name)) {
      problems.push_back(shown_path(root, file.path) + ": has the name of the runner's own file; rename it");
      continue;
    }
    if (folded == text::fold_case(payload::child_outside_job_name)) {
      problems.push_back(shown_path(root, file.path) + ": has the name of the launcher's own file; rename it");
      continue;
    }
    if (file.path.size() > long_entry_path_units) {
      warnings.push_back(shown_path(root, file.path) + ": the path has " + std::to_string(file.path.size()) +
                         " units and leaves only " + std::to_string(max_joined_path_units - 1 - file.path.size()) +
                         " for the temporary directory it is unpacked into");
    }
    if (file.path.size() > classic_limit_path_units) {
      ++over_classic_limit;
      if (!longest || file.path.size() > longest->path.size()) longest = &file;
    }
  }
  if (over_classic_limit > 0) {
    warnings.push_back(std::to_string(over_classic_limit) + " path(s) longer than " +
                       std::to_string(classic_limit_path_units) + " units, the longest " + text::to_utf8_replacing(longest->path) +
                       ": unpacked below a usual temporary directory they pass 260 units, which Windows opens only "
                       "where long paths are enabled");
  }
  check_case_collisions(root, files, problems);
  const std::uint64_t table = table_size_for(files);
  if (table > payload::max_table_size) {
    problems.push_back("the entry table for " + std::to_string(files.size()) + " files would take " +
                       std::to_string(table) + " bytes; the launcher accepts at most " +
                       std::to_string(payload::max_table_size));
  }
}

bool is_dll_name(const std::u16string& path) {
  return path.size() >= 4 && text::fold_case(path.substr(path.size() - 4)) == u".DLL";
}

// Index of the main library in files, or nothing (with problems filled in).
std::optional<std::size_t> choose_main_library(const std::vector<AppFile>& files, const std::optional<std::string>& main,
                                               bool check_main, const std::string& shown_root,
                                               std::vector<std::string>& problems) {
  std::optional<std::size_t> chosen;
  if (main) {
    std::string wanted = *main;
    std::replace(wanted.begin(), wanted.end(), '/', '\\');
    while (wanted.starts_with(".\\")) wanted.erase(0, 2);
    const std::optional<std::u16string> path = text::to_utf16(wanted);
    for (std::size_t i = 0; path && i < files.size(); ++i) {
      if (files[i].path == *path) chosen = i;
    }
    if (!chosen) {
      problems.push_back("--main " + *main + ": no such file in " + shown_root);
      return std::nullopt;
    }
    if (!check_main) return chosen;
  } else {
    std::vector<std::size_t> candidates;
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (!is_dll_name(files[i].path)) continue;
      const MappedFile dll(files[i].source);
      const std::span<const std::uint8_t> bytes = dll.bytes();
      try {
        if (exports_ordinal(bytes, parse_pe_image(bytes), 1)) candidates.push_back(i);
      } catch (const PeFormatError&) {
        // Not a PE image: not a candidate either.
      }
    }
    if (candidates.empty()) {
      // A folder of a finished program is packed with --run; name the programs it holds.
      std::string programs;
      for (const AppFile& file : files) {
        if (!text::fold_case(file.path).ends_with(u".EXE")) continue;
        programs += (programs.empty() ? "" : ", ") + text::to_utf8_replacing(file.path);
      }
      problems.push_back(shown_root + ": no DLL exports ordinal 1, so there is no main library; build one that "
                                      "does, or name it with --main; or run a program of the folder with --run" +
                         (programs.empty() ? std::string(" PROGRAM.exe") : " (here: " + programs + ")"));
      return std::nullopt;
    }
    if (candidates.size() > 1) {
      std::string names;
      for (std::size_t i : candidates) names += (names.empty() ? "" : ", ") + text::to_utf8_replacing(files[i].path);
      problems.push_back(shown_root + ": several DLLs export ordinal 1 (" + names + "); name the main library with --main");
      return std::nullopt;
    }
    chosen = candidates.front();
  }
  const MappedFile library(files[*chosen].source);
  const std::string problem = main_library_problem(library.bytes());
  if (!problem.empty()) {
    problems.push_back(shown_path(shown_root, files[*chosen].path) + ": the main library " + problem);
    return std::nullopt;
  }
  return chosen;
}

}  // namespace

std::uint64_t table_size_for(const std::vector<AppFile>& files) {
  std::uint64_t size = 0;
  for (const AppFile& file : files) size += payload::record_size(file.path.size());
  return size;
}

AppFolder scan_app_folder(const fs::path& root, const std::optional<std::string>& main, bool check_main) {
  std::error_code error;
  if (!fs::is_directory(root, error)) {
    throw InputError(utf8_of(root) + (fs::exists(root, error) ? ": not a folder" : ": no such folder"));
  }
  const fs::path real_root = canonical_path(root, error);
  if (error) throw InputError(utf8_of(root) + ": " + error.message());
  Walker walker(root, real_root);
  walker.walk(root, {}, {});
  AppFolder folder;
  folder.warnings = std::move(walker.warnings);
  std::vector<std::string> problems = std::move(walker.problems);
  std::vector<AppFile> files = std::move(walker.files);
  if (files.empty() && problems.empty()) problems.push_back(utf8_of(root) + ": holds no files to pack");
  check_paths(utf8_of(root), files, problems, folder.warnings);
  std::optional<std::size_t> chosen;
  if (!files.empty()) chosen = choose_main_library(files, main, check_main, utf8_of(root), problems);
  if (!problems.empty()) {
    std::string message;
    for (std::size_t i = 0; i < problems.size() && i < max_problems_shown; ++i) message += (i ? "\n" : "") + problems[i];
    if (problems.size() > max_problems_shown) {
      message += "\n... and " + std::to_string(problems.size() - max_problems_shown) + " more";
    }
    throw InputError(message);
  }
  std::rotate(files.begin(), files.begin() + static_cast<std::ptrdiff_t>(*chosen),
              files.begin() + static_cast<std::ptrdiff_t>(*chosen) + 1);
  for (const AppFile& file : files) folder.content_size += file.size;
  folder.files = std::move(files);
  return folder;
}

}  // namespace pack
