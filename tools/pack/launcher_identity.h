// What the packer writes into each launcher besides the attached data: the strings that the
// launcher's path templates use and that the version resource shows, and the icon.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace pack {

struct LauncherIdentity {
  std::string company = "Caldrevine";
  std::string product = "Caldrevine";
  std::string version = "1.22.4.0";  // A.B.C.D, each part 0..65535
  std::string description;           // empty: the product string
  std::filesystem::path icon;        // empty: the generated icon group
};

struct VersionNumbers {
  std::uint16_t part[4];
};
// "A.B.C.D" with numbers 0 to 65535, or nothing when the text is not of that form.
std::optional<VersionNumbers> parse_version(const std::string& version);

// Company, product and version as UTF-16LE bytes, each ended by a 0 unit: the contents of the
// launcher's identity section. Throws InputError for text that is not UTF-8.
std::string identity_section_contents(const LauncherIdentity& identity);

}  // namespace pack
