// The link recipe: turns a file of attached data and an application's identity into a launcher
// executable. It generates one object with the attached data (in its own read-only section) and
// the per-application strings, compiles the resources (manifest, version resource, icon group),
// and links them against the launcher kit that the Windows build makes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "identity/app_identity.h"

namespace pack {

struct LauncherIdentity {
  std::string company = identity::default_company;
  std::string product = identity::default_product;
  std::string version = identity::default_version;  // A.B.C.D, each part 0..65535
  std::string description;           // empty: the product string
  std::filesystem::path icon;        // empty: the generated icon group
};

struct LinkInputs {
  std::filesystem::path attached_data_file;
  std::filesystem::path output;
  LauncherIdentity identity;
  std::filesystem::path launcher_kit;  // holds libzamrik_launcher_kit.a
  std::string toolchain_prefix = "x86_64-w64-mingw32-";
  std::filesystem::path work_directory;  // scratch space for the generated files
};

class LinkError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The kit the build made, unless overridden by ZAMRIK_LAUNCHER_KIT.
std::filesystem::path default_launcher_kit();

// Throws LinkError naming the step that failed. Writes output directly: the caller decides
// where (the packer links into a temporary name and renames it into place).
void link_launcher(const LinkInputs& inputs);

// Parses "A.B.C.D" into four numbers; throws LinkError when it is not of that form.
struct VersionNumbers {
  std::uint16_t part[4];
};
VersionNumbers parse_version(const std::string& version);

}  // namespace pack
