#include "pe_resources.h"

#include <cstdio>

#include "pack_error.h"
#include "pe_image.h"
#include "resources.h"
#include "text/wide_text.h"

namespace pack {
namespace {

using Bytes = std::span<const std::uint8_t>;

// The resource directory: a tree of three levels (type, name, language) whose offsets count from
// its start, and whose leaves give their data by address. Every read is checked against the
// section it lies in.
class ResourceTree {
 public:
  ResourceTree(Bytes file, const PeImage& image) : file_(file), image_(image) {}

  // The data of the first resource of this type (with this id, when given), in its first
  // language; nothing when there is none.
  std::optional<Bytes> find(std::uint32_t type, std::optional<std::uint32_t> id) const {
    if (image_.resource_rva == 0 || image_.resource_size == 0) return std::nullopt;
    std::uint32_t node = 0;
    for (int level = 0; level < 3; ++level) {
      const bool by_id = level == 0 || (level == 1 && id);
      const std::optional<std::uint32_t> entry = pick(node, by_id, level == 0 ? type : id.value_or(0));
      if (!entry) return std::nullopt;
      const bool subdirectory = (*entry & 0x80000000) != 0;
      if (subdirectory != (level < 2)) throw PeFormatError("the resource directory is damaged");
      node = *entry & 0x7FFFFFFF;
    }
    const std::uint32_t rva = u32(node), size = u32(node + 4);
    const std::optional<std::uint64_t> at = file_offset(file_, image_, rva, size);
    if (!at) throw PeFormatError("a resource lies outside the file");
    return file_.subspan(*at, size);
  }

 private:
  std::uint32_t u32(std::uint32_t offset) const { return u32_at(file_, at(offset, 4)); }
  std::uint32_t u16(std::uint32_t offset) const { return u16_at(file_, at(offset, 2)); }
  std::uint64_t at(std::uint32_t offset, std::uint32_t size) const {
    const std::optional<std::uint64_t> found = file_offset(file_, image_, image_.resource_rva + offset, size);
    if (!found || offset >= image_.resource_size) throw PeFormatError("the resource directory is damaged");
    return *found;
  }

  // The target of the directory's entry with this id, or of its first entry (named ones come
  // first) when no id is wanted.
  std::optional<std::uint32_t> pick(std::uint32_t directory, bool by_id, std::uint32_t id) const {
    const std::uint32_t count = u16(directory + 12) + u16(directory + 14);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t entry = directory + 16 + 8 * i;
      const std::uint32_t name = u32(entry);
      if (!by_id || ((name & 0x80000000) == 0 && name == id)) return u32(entry + 4);
    }
    return std::nullopt;
  }

  Bytes file_;
  const PeImage& image_;
};

// One node of a version resource: length, value length, type, key, value and children, each at
// a multiple of four from the resource's start.
struct VersionNode {
  std::u16string key;
  Bytes value;  // for a text node, up to the node's end: the text ends at its 0 unit
  std::vector<Bytes> children;
};

std::size_t aligned(std::size_t at) { return (at + 3) & ~std::size_t{3}; }

VersionNode parse_node(Bytes bytes) {
  const auto damaged = [] { return PeFormatError("the version resource is damaged"); };
  if (bytes.size() < 6) throw damaged();
  const std::size_t length = u16_at(bytes, 0);
  if (length < 6 || length > bytes.size()) throw damaged();
  bytes = bytes.first(length);
  const std::uint32_t value_length = u16_at(bytes, 2);
  const bool text = u16_at(bytes, 4) == 1;
  VersionNode node;
  std::size_t at = 6;
  for (;; at += 2) {
    if (at + 2 > bytes.size()) throw damaged();
    const char16_t unit = static_cast<char16_t>(u16_at(bytes, at));
    if (unit == 0) break;
    node.key += unit;
  }
  at = std::min(aligned(at + 2), bytes.size());
  // Resource compilers disagree on whether a text's length counts units or bytes: the text is
  // read to its end instead, and only a binary value's length is trusted.
  const std::size_t value_size = text ? std::min(2 * std::size_t{value_length}, bytes.size() - at) : value_length;
  if (value_size > bytes.size() - at) throw damaged();
  node.value = text ? bytes.subspan(at) : bytes.subspan(at, value_size);
  at = aligned(at + value_size);
  while (at + 6 <= bytes.size()) {
    const std::size_t child_length = u16_at(bytes, at);
    if (child_length == 0) break;
    if (child_length > bytes.size() - at) throw damaged();
    node.children.push_back(bytes.subspan(at, child_length));
    at = aligned(at + child_length);
  }
  return node;
}

std::string text_of(Bytes value) {
  std::u16string units;
  for (std::size_t at = 0; at + 2 <= value.size(); at += 2) {
    const char16_t unit = static_cast<char16_t>(u16_at(value, at));
    if (unit == 0) break;
    units += unit;
  }
  return text::to_utf8_replacing(units);
}

VersionNumbers numbers_at(Bytes fixed, std::size_t at) {
  const std::uint32_t high = u32_at(fixed, at), low = u32_at(fixed, at + 4);
  return {{static_cast<std::uint16_t>(high >> 16), static_cast<std::uint16_t>(high), static_cast<std::uint16_t>(low >> 16),
           static_cast<std::uint16_t>(low)}};
}

std::vector<IconImage> icon_group(const ResourceTree& tree) {
  const std::optional<Bytes> group = tree.find(resource_icon_group, std::nullopt);
  if (!group) return {};
  if (group->size() < 6) throw PeFormatError("the icon group is damaged");
  const std::uint32_t count = u16_at(*group, 4);
  if (group->size() < 6 + 14 * std::size_t{count}) throw PeFormatError("the icon group is damaged");
  std::vector<IconImage> icons;
  for (std::uint32_t i = 0; i < count; ++i) {
    const Bytes entry = group->subspan(6 + 14 * std::size_t{i}, 14);
    const std::optional<Bytes> data = tree.find(resource_icon, u16_at(entry, 12));
    if (!data) throw PeFormatError("the icon group names an icon that is missing");
    icons.push_back({entry[0], entry[1], entry[2], static_cast<std::uint16_t>(u16_at(entry, 4)),
                     static_cast<std::uint16_t>(u16_at(entry, 6)), std::string(data->begin(), data->end())});
  }
  return icons;
}

}  // namespace

VersionInfo parse_version_resource(Bytes bytes) {
  const VersionNode root = parse_node(bytes);
  if (root.key != u"VS_VERSION_INFO" || root.value.size() < 52 || u32_at(root.value, 0) != 0xFEEF04BD) {
    throw PeFormatError("the version resource is damaged");
  }
  VersionInfo info;
  info.file_version = numbers_at(root.value, 8);
  info.product_version = numbers_at(root.value, 16);
  info.flags_mask = u32_at(root.value, 24);
  info.flags = u32_at(root.value, 28);
  info.os = u32_at(root.value, 32);
  for (Bytes child : root.children) {
    const VersionNode block = parse_node(child);
    if (block.key != u"StringFileInfo" || block.children.empty()) continue;
    const VersionNode table = parse_node(block.children.front());
    const std::string key = text::to_utf8_replacing(table.key);
    unsigned language = 0, code_page = 0;
    if (key.size() == 8 && std::sscanf(key.c_str(), "%4x%4x", &language, &code_page) == 2) {
      info.language = static_cast<std::uint16_t>(language);
      info.code_page = static_cast<std::uint16_t>(code_page);
    }
    for (Bytes entry : table.children) {
      const VersionNode string = parse_node(entry);
      info.set(text::to_utf8_replacing(string.key), text_of(string.value));
    }
    break;
  }
  return info;
}

OwnResources read_own_resources(Bytes file) {
  const PeImage image = parse_pe_image(file);
  const ResourceTree tree(file, image);
  OwnResources own;
  if (const std::optional<Bytes> version = tree.find(resource_version, std::nullopt)) own.version = parse_version_resource(*version);
  own.icons = icon_group(tree);
  return own;
}

std::vector<IconImage> read_icon_source(const std::string& bytes, const std::string& source) {
  if (!bytes.starts_with("MZ")) return read_icon_file(bytes, source);
  const Bytes file(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  std::vector<IconImage> icons;
  try {
    const PeImage image = parse_pe_image(file);
    icons = icon_group(ResourceTree(file, image));
  } catch (const PeFormatError& error) {
    throw InputError(source + ": " + error.what());
  }
  if (icons.empty()) throw InputError(source + ": holds no icon group");
  return icons;
}

}  // namespace pack
