// What an executable says about itself: its version resource, its icon group, and the strings
// that the launcher's path templates use. Decided once for each build (decide_identity), from the
// user's options over the packed program's own resources over the defaults, and written from
// that one value to all three places.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pack {

struct IconImage {
  std::uint8_t width;  // 0 means 256
  std::uint8_t height;
  std::uint8_t colors;
  std::uint16_t planes;
  std::uint16_t bit_count;
  std::string data;  // a PNG or a bitmap without its file header, as in the .ico file
};

struct VersionNumbers {
  std::uint16_t part[4] = {};
  bool operator==(const VersionNumbers&) const = default;
};
// "A.B.C.D" with numbers 0 to 65535, or nothing when the text is not of that form.
std::optional<VersionNumbers> parse_version(const std::string& version);
std::string format_version(const VersionNumbers& version);

struct VersionString {
  std::string key;
  std::string value;  // UTF-8
  bool operator==(const VersionString&) const = default;
};

// A version resource's contents: the fixed numbers and one string table.
struct VersionInfo {
  VersionNumbers file_version;
  VersionNumbers product_version;
  std::uint32_t flags_mask = 0x3F;
  std::uint32_t flags = 0;
  std::uint32_t os = 0x40004;  // Windows NT, 32-bit API
  std::uint16_t language = 0x409;
  std::uint16_t code_page = 1200;  // UTF-16
  std::vector<VersionString> strings;  // in the table's order

  // The string's value, empty when the table has none.
  std::string text(std::string_view key) const;
  // Replaces the string's value, or adds it at the end.
  void set(std::string_view key, const std::string& value);
};

struct LauncherIdentity {
  VersionInfo version;
  std::vector<IconImage> icons;

  // What {COMPANY}, {PRODUCT} and {VERSION} expand to: the version resource's company and
  // product names, and its file version's numbers.
  std::string company() const { return version.text("CompanyName"); }
  std::string product() const { return version.text("ProductName"); }
  std::string version_text() const { return format_version(version.file_version); }
};

// What the user asked for; each given option wins over what the program says about itself.
struct IdentityOptions {
  std::optional<std::string> company;
  std::optional<std::string> product;
  std::optional<std::string> description;
  std::optional<VersionNumbers> version;  // file and product version
  std::filesystem::path icon;             // empty: the program's own, else a generated one
};

// The identity of an executable: options over own (the packed program's or the main library's
// resources, when it has them) over the defaults: the product named default_product, version
// 0.0.0.0, the generated icon. Throws InputError for an icon file that holds no icon.
struct OwnResources;
LauncherIdentity decide_identity(const IdentityOptions& options, const OwnResources& own, const std::string& default_product);

// Company, product and version as UTF-16LE bytes, each ended by a 0 unit: the contents of the
// launcher's identity section. Throws InputError for text that is not UTF-8.
std::string identity_section_contents(const LauncherIdentity& identity);

}  // namespace pack
