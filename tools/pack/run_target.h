// Packing an existing program: the stock runner goes in as the main library, with a record of
// the program to start and the arguments to give it first.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app_folder.h"
#include "attached_data_reader.h"
#include "runner/run_record.h"

namespace pack {

struct RunTarget {
  std::string program;  // relative to the application folder, "/" or "\" as separator
  std::vector<std::string> arguments;
};

// The stock runner that the packer carries.
std::span<const std::uint8_t> embedded_runner_library();

// The files of root after the runner and its record, the program first among them. Throws
// InputError naming the program when it is no x86-64 program inside root, and for anything that
// scan_app_folder refuses.
AppFolder scan_run_folder(const std::filesystem::path& root, const RunTarget& target);

// What an executable runs, as a command line to show ("MyApp.exe --flag "two words""), when its
// main library is the runner; nothing otherwise. Decodes only as far as the record. Throws
// InputError when the record is damaged or names a program that the executable does not carry.
std::optional<std::string> what_runs(const AttachedDataContents& contents);

// The record itself, on the same terms.
std::optional<runner::RunRecord> run_record_of(const AttachedDataContents& contents);

// The build options that pack the same run again: --run PROGRAM and a --run-arg for each argument.
std::string run_options(const runner::RunRecord& record);

}  // namespace pack
