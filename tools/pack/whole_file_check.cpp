#include "whole_file_check.h"

#include <algorithm>
#include <istream>
#include <streambuf>
#include <vector>

#include "pack_error.h"
#include "payload/linked_attached_data.h"
#include "pe_image.h"
#include "pe_writer.h"

namespace pack {
namespace {

struct Layout {
  std::uint64_t optional = 0;
  std::uint32_t optional_size = 0;
  std::uint64_t headers_size = 0;
  PeImage image;
};

Layout layout_of(std::span<const std::uint8_t> file) {
  Layout layout;
  layout.image = parse_pe_image(file);
  if (!layout.image.pe32_plus) throw PeFormatError("not a PE32+ image");
  const std::uint64_t pe = u32_at(file, pe_header_offset_at);
  layout.optional = pe + optional_header_at;
  layout.optional_size = u16_at(file, pe + optional_header_size_at);
  if (layout.optional_size < directories_at) throw PeFormatError("truncated optional header");
  layout.headers_size = u32_at(file, layout.optional + headers_size_at);
  return layout;
}

// The certificate table that a signing tool appends: its file offset and size, or zeros.
std::pair<std::uint64_t, std::uint64_t> certificate_of(std::span<const std::uint8_t> file, const Layout& layout) {
  if (layout.optional_size < directories_at + 8 * (certificate_directory + 1) ||
      u32_at(file, layout.optional + directory_count_at) <= certificate_directory) {
    return {0, 0};
  }
  const std::uint64_t at = layout.optional + directories_at + 8 * certificate_directory;
  return {u32_at(file, at), u32_at(file, at + 4)};
}

// A read-only stream over bytes in memory, for the one checksum routine that the writer uses.
class SpanBuffer : public std::streambuf {
 public:
  explicit SpanBuffer(std::span<const std::uint8_t> bytes) {
    char* begin = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
    setg(begin, begin, begin + bytes.size());
  }
};

bool differs(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) { return !std::equal(a.begin(), a.end(), b.begin(), b.end()); }

}  // namespace

void check_file_length(std::span<const std::uint8_t> file) {
  Layout layout;
  try {
    layout = layout_of(file);
  } catch (const PeFormatError& error) {
    throw InputError(std::string("not a launcher: ") + error.what());
  }
  // Another program's length is not this check's business.
  if (!find_section(layout.image, attached_data_section_name)) {
    throw InputError(std::string("not a launcher built by zamrik-pack: it has no section ") + attached_data_section_name);
  }
  std::uint64_t end = layout.headers_size;
  for (const PeSection& section : layout.image.sections) {
    if (section.raw_size != 0) end = std::max(end, std::uint64_t{section.raw_offset} + section.raw_size);
  }
  const auto [certificate_offset, certificate_size] = certificate_of(file, layout);
  if (certificate_size != 0) {
    if (certificate_offset < end) throw InputError("damaged headers: the certificate table overlaps the sections");
    end = certificate_offset + certificate_size;
  }
  if (file.size() < end) {
    throw InputError("cut short: the file has " + std::to_string(file.size()) + " bytes, its headers describe " +
                     std::to_string(end) + " (" + std::to_string(end - file.size()) + " missing)");
  }
  if (file.size() > end) {
    throw InputError("the file has " + std::to_string(file.size() - end) + " bytes after the end that its headers describe (" +
                     std::to_string(end) + " bytes), added after packing");
  }
}

bool checksum_matches(std::span<const std::uint8_t> file) {
  const Layout layout = layout_of(file);
  SpanBuffer buffer(file);
  std::istream in(&buffer);
  return pe_checksum(in, layout.optional + checksum_at) == u32_at(file, layout.optional + checksum_at);
}

std::optional<std::string> place_change(std::span<const std::uint8_t> file, std::span<const std::uint8_t> launcher_image) {
  const Layout packed = layout_of(file);
  const Layout original = layout_of(launcher_image);
  const std::vector<PeSection>& ours = packed.image.sections;
  const std::vector<PeSection>& theirs = original.image.sections;
  // The packer keeps every section of the image before the identity section, and adds two.
  bool same_build = ours.size() == theirs.size() + 2 && packed.optional == original.optional &&
                    packed.optional_size == original.optional_size && packed.headers_size == original.headers_size &&
                    !theirs.empty() && packed.headers_size <= launcher_image.size();
  for (std::size_t i = 0; same_build && i + 1 < theirs.size(); ++i) {
    same_build = ours[i].name == theirs[i].name && ours[i].virtual_address == theirs[i].virtual_address &&
                 ours[i].virtual_size == theirs[i].virtual_size && ours[i].raw_offset == theirs[i].raw_offset &&
                 ours[i].raw_size == theirs[i].raw_size;
  }
  if (!same_build) return "somewhere that cannot be told: the file's launcher is another build than this zamrik-pack carries";

  // The headers, but for the fields that the packer (or a signing tool) sets for each executable.
  std::vector<std::uint8_t> head(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(packed.headers_size));
  std::vector<std::uint8_t> expected(launcher_image.begin(), launcher_image.begin() + static_cast<std::ptrdiff_t>(packed.headers_size));
  const auto mask = [&](std::uint64_t at, std::uint64_t size) {
    for (std::uint64_t k = at; k < at + size && k < head.size(); ++k) head[k] = expected[k] = 0;
  };
  const std::uint64_t table = packed.optional + packed.optional_size;
  mask(packed.optional - 24 + 6, 2);  // the section count
  mask(packed.optional + initialized_data_size_at, 4);
  mask(packed.optional + image_size_at, 4);
  mask(packed.optional + checksum_at, 4);
  mask(packed.optional + subsystem_at, 2);
  mask(packed.optional + directories_at + 8 * resource_directory, 8);
  mask(packed.optional + directories_at + 8 * certificate_directory, 8);
  mask(table + section_header_size * (theirs.size() - 1), 3 * section_header_size);
  if (head != expected) return "in its headers";

  for (std::size_t i = 0; i + 1 < theirs.size(); ++i) {
    const PeSection& s = ours[i];
    if (differs(file.subspan(s.raw_offset, s.raw_size), launcher_image.subspan(s.raw_offset, s.raw_size))) {
      return (s.name == ".text" ? "in the launcher's code (section " : "in the launcher's section (") + s.name + ")";
    }
  }
  for (std::size_t i = theirs.size() - 1; i < ours.size(); ++i) {
    const PeSection& s = ours[i];
    if (s.virtual_size >= s.raw_size) continue;
    const std::span<const std::uint8_t> padding = file.subspan(s.raw_offset + s.virtual_size, s.raw_size - s.virtual_size);
    if (std::any_of(padding.begin(), padding.end(), [](std::uint8_t byte) { return byte != 0; })) {
      return "in the padding of section " + s.name;
    }
  }
  return std::nullopt;
}

}  // namespace pack
