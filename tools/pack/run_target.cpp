#include "run_target.h"

#include <algorithm>

#include "entry_path.h"
#include "host_files.h"
#include "mapped_file.h"
#include "pack_error.h"
#include "pe_image.h"
#include "runner/run_record.h"
#include "text/wide_text.h"

extern "C" {
extern const std::uint8_t zamrik_runner_library[];
extern const std::uint8_t zamrik_runner_library_end[];
}

namespace pack {
namespace fs = std::filesystem;
namespace {

std::u16string entry_form(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  while (path.starts_with(".\\")) path.erase(0, 2);
  return text::to_utf16(path).value_or(u"");
}

// The program as an entry path, after every check that it can run; throws InputError.
std::u16string check_program(const fs::path& root, const std::string& program) {
  const std::string shown = "--run " + program;
  const std::u16string entry = entry_form(program);
  if (entry.empty()) throw InputError(shown + ": not a path inside " + utf8_of(root));
  const std::string problem = entry_path_problem(entry);
  if (!problem.empty()) throw InputError(shown + ": the path " + problem);
  std::string host = program;
  std::replace(host.begin(), host.end(), '\\', '/');
  const fs::path file = root / host;
  std::error_code error;
  if (!fs::is_regular_file(file, error)) {
    throw InputError(shown + ": " + (fs::exists(file, error) ? "not a file" : "no such file") + " in " + utf8_of(root));
  }
  const MappedFile bytes(file);
  const std::string not_runnable = program_problem(bytes.bytes());
  if (!not_runnable.empty()) throw InputError(shown + ": " + utf8_of(file) + " " + not_runnable);
  return entry;
}

// A blank, a quote or nothing at all would make the shown line ambiguous.
std::string shown_argument(const std::u16string& argument) {
  const std::string shown = text::to_utf8_replacing(argument);
  if (!shown.empty() && shown.find_first_of(" \t\"") == std::string::npos) return shown;
  std::string quoted = "\"";
  for (char c : shown) quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
  return quoted + "\"";
}

struct RecordRead {};

}  // namespace

std::span<const std::uint8_t> embedded_runner_library() { return {zamrik_runner_library, zamrik_runner_library_end}; }

AppFolder scan_run_folder(const fs::path& root, const RunTarget& target) {
  std::error_code error;
  if (!fs::is_directory(root, error)) {
    throw InputError(utf8_of(root) + (fs::exists(root, error) ? ": not a folder" : ": no such folder"));
  }
  runner::RunRecord record;
  record.program = check_program(root, target.program);
  for (const std::string& argument : target.arguments) {
    const std::optional<std::u16string> units = text::to_utf16(argument);
    if (!units) throw InputError("--run-arg: not UTF-8 text");
    record.arguments.push_back(*units);
  }

  // The program goes where a main library would, so that it is checked only as a program here.
  AppFolder folder = scan_app_folder(root, target.program, false);
  for (const AppFile& file : folder.files) {
    const std::u16string folded = text::fold_case(file.path);
    if (folded == text::fold_case(runner::runner_name) || folded == text::fold_case(runner::record_name)) {
      throw InputError(utf8_of(root / path_from_utf8(text::to_utf8_replacing(file.path))) + ": has the name of the runner's own file; rename it");
    }
  }
  const std::span<const std::uint8_t> runner = embedded_runner_library();
  AppFile runner_file{runner::runner_name, {}, runner.size(), {runner.begin(), runner.end()}};
  const std::string record_bytes = runner::encode_run_record(record);
  AppFile record_file{runner::record_name, {}, record_bytes.size(), record_bytes};
  folder.files.insert(folder.files.begin(), {runner_file, record_file});
  folder.content_size += runner_file.size + record_file.size;
  return folder;
}

std::optional<runner::RunRecord> run_record_of(const AttachedDataContents& contents) {
  if (contents.entries.size() < 2 || contents.entries[0].path != runner::runner_name ||
      contents.entries[1].path != runner::record_name) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes;
  try {
    decode_entries(contents, [&](std::size_t entry, std::span<const std::uint8_t> piece, bool last_piece) {
      if (entry == 1) bytes.insert(bytes.end(), piece.begin(), piece.end());
      if (entry == 1 && last_piece) throw RecordRead{};
    });
  } catch (const RecordRead&) {
  }
  const std::optional<runner::RunRecord> record = runner::decode_run_record(bytes);
  if (!record) throw InputError(text::to_utf8_replacing(runner::record_name) + ": the runner's record is damaged");
  const bool carried = std::any_of(contents.entries.begin(), contents.entries.end(),
                                   [&](const ListedEntry& entry) { return entry.path == record->program; });
  if (!carried) throw InputError(text::to_utf8_replacing(record->program) + ": the runner's record names a program that is not packed");
  return record;
}

std::optional<std::string> what_runs(const AttachedDataContents& contents) {
  const std::optional<runner::RunRecord> record = run_record_of(contents);
  if (!record) return std::nullopt;
  std::string line = shown_argument(record->program);
  for (const std::u16string& argument : record->arguments) {
    line += ' ';
    line += shown_argument(argument);
  }
  return line;
}

std::string run_options(const runner::RunRecord& record) {
  // "/" reads the same in every shell, and the packer takes it on Windows too.
  std::u16string program = record.program;
  std::replace(program.begin(), program.end(), u'\\', u'/');
  std::string options = "--run " + shown_argument(program);
  for (const std::u16string& argument : record.arguments) {
    options += " --run-arg ";
    options += shown_argument(argument);
  }
  return options;
}

}  // namespace pack
