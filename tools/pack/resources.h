// The launcher's resource section: the manifest, the version resource and the icon group, laid
// out as the loader reads them (a directory tree by type, name and language, then the data).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "launcher_identity.h"

namespace pack {

inline constexpr std::uint32_t resource_icon = 3;
inline constexpr std::uint32_t resource_icon_group = 14;
inline constexpr std::uint32_t resource_version = 16;
inline constexpr std::uint32_t resource_manifest = 24;
// Every resource is stored once, for English (United States), as the resource compiler did.
inline constexpr std::uint32_t resource_language = 0x409;

struct Resource {
  std::uint32_t type;
  std::uint32_t id;
  std::string data;
};

// The images of an .ico file; throws InputError naming `source` when the bytes are no icon file.
std::vector<IconImage> read_icon_file(const std::string& bytes, const std::string& source);

// The version resource (VS_VERSIONINFO): the fixed numbers, the string table and the translation
// that names its language. Throws InputError for texts that it cannot hold.
std::string version_resource(const VersionInfo& version);

// The icons (ids 1 to n), the icon group (id 1), the version resource and the manifest.
std::vector<Resource> launcher_resources(const LauncherIdentity& identity);

// The section for resources sorted by type and id, loaded at section_rva (its data entries hold
// addresses, not offsets).
std::string resource_section(const std::vector<Resource>& resources, std::uint32_t section_rva);

}  // namespace pack
