#include "launcher_identity.h"

#include <fstream>
#include <sstream>

#include "bytes/little_endian.h"
#include "host_files.h"
#include "icon.h"
#include "pack_error.h"
#include "pe_resources.h"
#include "resources.h"
#include "text/wide_text.h"

namespace pack {
namespace {

std::vector<IconImage> icons_from(const std::filesystem::path& icon) {
  std::ifstream in(icon, std::ios::binary);
  if (!in) throw InputError(utf8_of(icon) + ": cannot open the icon");
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) throw InputError(utf8_of(icon) + ": cannot read the icon");
  return read_icon_source(bytes.str(), utf8_of(icon));
}

}  // namespace

std::optional<VersionNumbers> parse_version(const std::string& version) {
  VersionNumbers numbers{};
  std::size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    std::size_t end = at;
    while (end < version.size() && version[end] >= '0' && version[end] <= '9') ++end;
    const bool separator_ok = i < 3 ? end < version.size() && version[end] == '.' : end == version.size();
    if (end == at || end - at > 5 || !separator_ok) return std::nullopt;
    const unsigned long value = std::stoul(version.substr(at, end - at));
    if (value > 65535) return std::nullopt;
    numbers.part[i] = static_cast<std::uint16_t>(value);
    at = end + 1;
  }
  return numbers;
}

std::string format_version(const VersionNumbers& version) {
  const std::uint16_t* v = version.part;
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]);
}

std::string VersionInfo::text(std::string_view key) const {
  for (const VersionString& entry : strings) {
    if (entry.key == key) return entry.value;
  }
  return {};
}

void VersionInfo::set(std::string_view key, const std::string& value) {
  for (VersionString& entry : strings) {
    if (entry.key == key) {
      entry.value = value;
      return;
    }
  }
  strings.push_back({std::string(key), value});
}

LauncherIdentity decide_identity(const IdentityOptions& options, const OwnResources& own, const std::string& default_product) {
  LauncherIdentity identity;
  if (own.version) {
    identity.version = *own.version;
  } else {
    // The usual strings, in the order that resource scripts list them.
    const std::string product = options.product.value_or(default_product);
    const std::string version = format_version({});
    if (options.company) identity.version.strings.push_back({"CompanyName", *options.company});
    identity.version.strings.insert(identity.version.strings.end(), {{"FileDescription", options.description.value_or(product)},
                                                                     {"FileVersion", version},
                                                                     {"ProductName", product},
                                                                     {"ProductVersion", version}});
  }
  VersionInfo& info = identity.version;
  if (options.company) info.set("CompanyName", *options.company);
  if (options.product) info.set("ProductName", *options.product);
  if (options.description) info.set("FileDescription", *options.description);
  if (options.version) {
    info.file_version = info.product_version = *options.version;
    info.set("FileVersion", format_version(*options.version));
    info.set("ProductVersion", format_version(*options.version));
  }
  if (!options.icon.empty()) {
    identity.icons = icons_from(options.icon);
  } else if (!own.icons.empty()) {
    identity.icons = own.icons;
  } else {
    identity.icons = read_icon_file(generated_icon(), "the generated icon");
  }
  return identity;
}

std::string identity_section_contents(const LauncherIdentity& identity) {
  std::string out;
  for (const std::string& field : {identity.company(), identity.product(), identity.version_text()}) {
    const std::optional<std::u16string> units = text::to_utf16(field);
    if (!units) throw InputError("text is not valid UTF-8: " + field);
    for (char16_t unit : *units + u'\0') little_endian::append_u16(out, unit);
  }
  return out;
}

}  // namespace pack
