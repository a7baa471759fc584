#include "launcher_identity.h"

#include "text/wide_text.h"
#include "pack_error.h"

namespace pack {

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

std::string identity_section_contents(const LauncherIdentity& identity) {
  std::string out;
  for (const std::string* field : {&identity.company, &identity.product, &identity.version}) {
    const std::optional<std::u16string> units = text::to_utf16(*field);
    if (!units) throw InputError("text is not valid UTF-8: " + *field);
    for (char16_t unit : *units + u'\0') {
      out += static_cast<char>(unit & 0xFF);
      out += static_cast<char>(unit >> 8);
    }
  }
  return out;
}

}  // namespace pack
