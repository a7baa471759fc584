// The application folder as the launcher will unpack it: every file with its entry path, in a
// fixed order with the main library first, after every check that stops unsafe or unusable
// input. The launcher trusts the table; this is where the table is made trustworthy.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace pack {

struct AppFile {
  std::u16string path;  // relative to the unpack directory, "\" as separator
  std::filesystem::path source;
  std::uint64_t size = 0;
  std::string contents = {};  // the bytes, when there is no source
};

struct AppFolder {
  std::vector<AppFile> files;  // the main library first, then the walk's order
  std::vector<std::string> warnings;
  std::uint64_t content_size = 0;
};

// Walks root (sorted by name, depth first) and checks it. main names the main library relative
// to root, with "/" or "\"; without it, the only DLL that exports ordinal 1 is taken. A named
// main library is checked to be a PE32+ x86-64 DLL with an ordinal-1 export unless check_main is
// false (which packs a library that the launcher will refuse to run, for testing just that).
// Throws InputError with one line per problem found.
AppFolder scan_app_folder(const std::filesystem::path& root, const std::optional<std::string>& main,
                          bool check_main = true);

// The size of the entry table that these files need.
std::uint64_t table_size_for(const std::vector<AppFile>& files);

}  // namespace pack
