#include "resources.h"

#include <cstdio>
#include <map>
#include <optional>

#include "bytes/little_endian.h"
#include "pack_error.h"
#include "text/wide_text.h"

namespace pack {
namespace {

constexpr char manifest[] = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security>
      <requestedPrivileges>
        <requestedExecutionLevel level="asInvoker" uiAccess="false"/>
      </requestedPrivileges>
    </security>
  </trustInfo>
  <compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1">
    <application>
      <supportedOS Id="{e2011457-1546-43c5-a5fe-008deee3d3f0}"/>
      <supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>
      <supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/>
      <supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>
      <supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>
    </application>
  </compatibility>
  <application xmlns="urn:schemas-microsoft-com:asm.v3">
    <windowsSettings>
      <longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true</longPathAware>
    </windowsSettings>
  </application>
  <dependency>
    <dependentAssembly>
      <assemblyIdentity type="win32" name="Microsoft.Windows.Common-Controls" version="6.0.0.0"
                        processorArchitecture="*" publicKeyToken="6595b64144ccf1df" language="*"/>
    </dependentAssembly>
  </dependency>
</assembly>
)";

using little_endian::append_u16;
using little_endian::append_u32;
void pad_to(std::string& out, std::size_t alignment) {
  while (out.size() % alignment != 0) out += '\0';
}

std::string utf16_bytes(const std::string& utf8) {
  const std::optional<std::u16string> units = text::to_utf16(utf8);
  if (!units) throw InputError("text is not valid UTF-8: " + utf8);
  std::string out;
  for (char16_t unit : *units + u'\0') append_u16(out, unit);
  return out;
}

// One node of the version resource: length, value length, type, key, the value and the
// children, each of them starting at a multiple of four. The length counts no padding after
// the last child, as the resource compiler writes it:
//   "CompanyName" = "Me": 6 + 24 key bytes + 2 padding + 6 value bytes = length 38, value length 3.
std::string version_node(const std::string& key, std::uint16_t type, const std::string& value,
                         std::uint16_t value_length, const std::vector<std::string>& children = {}) {
  std::string out(6, '\0');
  out += utf16_bytes(key);
  pad_to(out, 4);
  out += value;
  for (const std::string& child : children) {
    pad_to(out, 4);
    out += child;
  }
  if (out.size() > 0xFFFF) throw InputError("the version resource's texts are too long");
  little_endian::store_u16(&out[0], static_cast<std::uint16_t>(out.size()));
  little_endian::store_u16(&out[2], value_length);
  little_endian::store_u16(&out[4], type);
  return out;
}

std::string version_string(const std::string& key, const std::string& text) {
  const std::string value = utf16_bytes(text);
  if (value.size() / 2 > 0xFFFF) throw InputError("the version resource's texts are too long");
  return version_node(key, 1, value, static_cast<std::uint16_t>(value.size() / 2));
}

}  // namespace

std::vector<IconImage> read_icon_file(const std::string& bytes, const std::string& source) {
  const auto fail = [&](const std::string& problem) { return InputError(source + ": " + problem); };
  if (bytes.size() < 6 || little_endian::load_u16(&bytes[0]) != 0 || little_endian::load_u16(&bytes[2]) != 1) throw fail("not an .ico file");
  const std::uint32_t count = little_endian::load_u16(&bytes[4]);
  if (count == 0) throw fail("the icon file holds no image");
  if (bytes.size() < 6 + 16 * std::size_t{count}) throw fail("the icon file is cut short");
  std::vector<IconImage> images;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t at = 6 + 16 * std::size_t{i};
    const std::uint64_t size = little_endian::load_u32(&bytes[at + 8]);
    const std::uint64_t offset = little_endian::load_u32(&bytes[at + 12]);
    if (size == 0 || offset > bytes.size() || size > bytes.size() - offset) {
      throw fail("image " + std::to_string(i + 1) + " of the icon file lies outside it");
    }
    images.push_back({static_cast<std::uint8_t>(bytes[at]), static_cast<std::uint8_t>(bytes[at + 1]),
                      static_cast<std::uint8_t>(bytes[at + 2]), static_cast<std::uint16_t>(little_endian::load_u16(&bytes[at + 4])),
                      static_cast<std::uint16_t>(little_endian::load_u16(&bytes[at + 6])), bytes.substr(offset, size)});
  }
  return images;
}

std::string version_resource(const VersionInfo& version) {
  std::string fixed;
  append_u32(fixed, 0xFEEF04BD);  // signature
  append_u32(fixed, 0x00010000);  // structure version
  for (const VersionNumbers& numbers : {version.file_version, version.product_version}) {
    const std::uint16_t* v = numbers.part;
    append_u32(fixed, std::uint32_t{v[0]} << 16 | v[1]);
    append_u32(fixed, std::uint32_t{v[2]} << 16 | v[3]);
  }
  append_u32(fixed, version.flags_mask);
  append_u32(fixed, version.flags);
  append_u32(fixed, version.os);
  append_u32(fixed, 1);  // an application, whatever the numbers came from
  append_u32(fixed, 0);  // no subtype
  append_u32(fixed, 0);  // no date
  append_u32(fixed, 0);

  std::vector<std::string> strings;
  for (const VersionString& entry : version.strings) strings.push_back(version_string(entry.key, entry.value));
  char table_key[9];
  std::snprintf(table_key, sizeof table_key, "%04x%04x", version.language, version.code_page);
  std::string translation;
  append_u16(translation, version.language);
  append_u16(translation, version.code_page);
  const std::string variables = version_node("VarFileInfo", 1, "", 0, {version_node("Translation", 0, translation, 4)});
  return version_node("VS_VERSION_INFO", 0, fixed, static_cast<std::uint16_t>(fixed.size()),
                      {version_node("StringFileInfo", 1, "", 0, {version_node(table_key, 1, "", 0, strings)}), variables});
}

std::vector<Resource> launcher_resources(const LauncherIdentity& identity) {
  const std::vector<IconImage>& icons = identity.icons;
  std::vector<Resource> resources;
  std::string group;
  append_u16(group, 0);
  append_u16(group, 1);  // icons
  append_u16(group, static_cast<std::uint32_t>(icons.size()));
  for (std::size_t i = 0; i < icons.size(); ++i) {
    const IconImage& icon = icons[i];
    const std::uint32_t id = static_cast<std::uint32_t>(i + 1);
    resources.push_back({resource_icon, id, icon.data});
    group += static_cast<char>(icon.width);
    group += static_cast<char>(icon.height);
    group += static_cast<char>(icon.colors);
    group += '\0';
    append_u16(group, icon.planes);
    append_u16(group, icon.bit_count);
    append_u32(group, static_cast<std::uint32_t>(icon.data.size()));
    append_u16(group, id);
  }
  resources.push_back({resource_icon_group, 1, group});
  resources.push_back({resource_version, 1, version_resource(identity.version)});
  resources.push_back({resource_manifest, 1, manifest});
  return resources;
}

// The tree first (the root, then each type's directory followed by its names' directories of
// one language each), the data entries next, the data last, each piece at a multiple of 8.
std::string resource_section(const std::vector<Resource>& resources, std::uint32_t section_rva) {
  std::map<std::uint32_t, std::vector<const Resource*>> by_type;
  for (const Resource& resource : resources) by_type[resource.type].push_back(&resource);
  constexpr std::uint32_t directory_size = 16, entry_size = 8, data_entry_size = 16;
  constexpr std::uint32_t subdirectory = 0x80000000;
  const auto put_directory = [](std::string& out, std::size_t id_entries) {
    append_u32(out, 0);  // characteristics
    append_u32(out, 0);  // no time stamp
    append_u32(out, 0);  // version
    append_u16(out, 0);  // named entries
    append_u16(out, static_cast<std::uint32_t>(id_entries));
  };

  std::uint32_t tree_size = directory_size + entry_size * static_cast<std::uint32_t>(by_type.size());
  for (const auto& [type, list] : by_type) {
    tree_size += directory_size + entry_size * static_cast<std::uint32_t>(list.size());
    tree_size += static_cast<std::uint32_t>(list.size()) * (directory_size + entry_size);
  }
  const std::uint32_t data_entries_at = tree_size;
  std::uint32_t data_at = data_entries_at + data_entry_size * static_cast<std::uint32_t>(resources.size());
  data_at = (data_at + 7) & ~7u;

  std::string tree;
  put_directory(tree, by_type.size());
  std::uint32_t next_directory = directory_size + entry_size * static_cast<std::uint32_t>(by_type.size());
  std::string names;
  std::string data_entries;
  std::string data;
  std::uint32_t next_data_entry = data_entries_at;
  for (const auto& [type, list] : by_type) {
    append_u32(tree, type);
    append_u32(tree, subdirectory | next_directory);
    std::string type_directory;
    put_directory(type_directory, list.size());
    std::uint32_t language_directory = next_directory + directory_size + entry_size * static_cast<std::uint32_t>(list.size());
    std::string languages;
    for (const Resource* resource : list) {
      append_u32(type_directory, resource->id);
      append_u32(type_directory, subdirectory | language_directory);
      put_directory(languages, 1);
      append_u32(languages, resource_language);
      append_u32(languages, next_data_entry);
      language_directory += directory_size + entry_size;
      next_data_entry += data_entry_size;

      append_u32(data_entries, section_rva + data_at + static_cast<std::uint32_t>(data.size()));
      append_u32(data_entries, static_cast<std::uint32_t>(resource->data.size()));
      append_u32(data_entries, 0);  // code page
      append_u32(data_entries, 0);
      data += resource->data;
      pad_to(data, 8);
    }
    names += type_directory + languages;
    next_directory = language_directory;
  }
  std::string section = tree + names + data_entries;
  pad_to(section, 8);
  section += data;
  return section;
}

}  // namespace pack
