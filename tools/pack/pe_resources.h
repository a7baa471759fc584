// What a program or a library says about itself in its resources: its version resource and its
// first icon group, read so that a packed executable can say the same.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "launcher_identity.h"

namespace pack {

// The resources of a PE file that the packer takes over. Throws PeFormatError when the file is
// no PE image or its resource directory or version resource is damaged.
struct OwnResources {
  std::optional<VersionInfo> version;
  std::vector<IconImage> icons;  // the first icon group's images; empty when it has none
};
OwnResources read_own_resources(std::span<const std::uint8_t> file);

// The version resource (VS_VERSIONINFO) as its bytes hold it: the fixed numbers and the first
// string table. Throws PeFormatError when the bytes are no such resource.
VersionInfo parse_version_resource(std::span<const std::uint8_t> bytes);

// The images of an icon: an .ico file, or a program or library (anything that starts like a PE
// image) whose first icon group is taken. Throws InputError naming source when there is none.
std::vector<IconImage> read_icon_source(const std::string& bytes, const std::string& source);

}  // namespace pack
