// The packer's four commands. Each throws UsageError or InputError for what the user has to
// fix, and anything else for a failure of its own.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "launcher_identity.h"
#include "payload/attached_data_writer.h"
#include "pe_image.h"
#include "run_target.h"

namespace pack {

struct BuildRequest {
  std::filesystem::path app_dir;
  std::filesystem::path output;
  std::optional<std::string> main;
  bool check_main = true;
  std::optional<RunTarget> run;  // instead of a main library
  int level = payload::default_level;
  int threads = 0;  // 0: one per core; the output does not depend on it
  bool checksum = true;
  IdentityOptions identity;
  std::optional<Subsystem> subsystem;  // none: the packed program's own, or windowed
  bool quiet = false;
};

void build_executable(const BuildRequest& request);
void list_executable(const std::filesystem::path& executable);
void verify_executable(const std::filesystem::path& executable, bool quiet);
void extract_executable(const std::filesystem::path& executable, const std::filesystem::path& directory, bool quiet);

}  // namespace pack
