#include "pe_image.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace pack {
namespace {

void require(std::span<const std::uint8_t> file, std::uint64_t offset, std::uint64_t size, const char* what) {
  if (offset > file.size() || size > file.size() - offset) throw PeFormatError(std::string("truncated ") + what);
}

std::string machine_name(std::uint16_t machine) {
  switch (machine) {
    case 0x014C: return "x86 (32-bit)";
    case 0x01C4: return "ARM (32-bit)";
    case 0xAA64: return "ARM64";
    default: {
      char text[16];
      std::snprintf(text, sizeof text, "0x%04X", machine);
      return text;
    }
  }
}

}  // namespace

std::optional<std::uint64_t> file_offset(std::span<const std::uint8_t> file, const PeImage& image, std::uint32_t rva,
                                         std::uint32_t size) {
  for (const PeSection& s : image.sections) {
    const std::uint64_t in_file = s.virtual_size == 0 ? s.raw_size : std::min(s.virtual_size, s.raw_size);
    if (rva < s.virtual_address || rva - s.virtual_address >= in_file) continue;
    const std::uint64_t start = std::uint64_t{s.raw_offset} + (rva - s.virtual_address);
    if (size > in_file - (rva - s.virtual_address) || start + size > file.size()) return std::nullopt;
    return start;
  }
  return std::nullopt;
}

PeImage parse_pe_image(std::span<const std::uint8_t> file) {
  if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') throw PeFormatError("not a PE image (no MZ header)");
  const std::uint64_t pe = u32_at(file, pe_header_offset_at);
  require(file, pe, optional_header_at, "PE header");
  if (file[pe] != 'P' || file[pe + 1] != 'E' || file[pe + 2] != 0 || file[pe + 3] != 0) {
    throw PeFormatError("not a PE image (no PE signature)");
  }
  PeImage image;
  image.machine = static_cast<std::uint16_t>(u16_at(file, pe + machine_at));
  const std::uint32_t section_count = u16_at(file, pe + section_count_at);
  const std::uint32_t optional_size = u16_at(file, pe + optional_header_size_at);
  image.characteristics = static_cast<std::uint16_t>(u16_at(file, pe + file_characteristics_at));
  const std::uint64_t optional = pe + optional_header_at;
  require(file, optional, optional_size, "optional header");
  if (optional_size < 2) throw PeFormatError("truncated optional header");
  const std::uint32_t magic = u16_at(file, optional);
  image.pe32_plus = magic == 0x20B;
  if (magic != 0x20B && magic != 0x10B) throw PeFormatError("unknown optional header");
  if (optional_size >= subsystem_at + 2) image.subsystem = static_cast<std::uint16_t>(u16_at(file, optional + subsystem_at));
  const std::uint64_t directory_count_at = image.pe32_plus ? 108 : 92;
  const std::uint32_t directory_count = optional_size >= directory_count_at + 4 ? u32_at(file, optional + directory_count_at) : 0;
  if (optional_size >= directory_count_at + 12 && directory_count >= 1) {
    image.export_rva = u32_at(file, optional + directory_count_at + 4);
    image.export_size = u32_at(file, optional + directory_count_at + 8);
  }
  if (optional_size >= directory_count_at + 28 && directory_count >= 3) {
    image.resource_rva = u32_at(file, optional + directory_count_at + 20);
    image.resource_size = u32_at(file, optional + directory_count_at + 24);
  }
  const std::uint64_t table = optional + optional_size;
  require(file, table, std::uint64_t{section_count} * section_header_size, "section table");
  for (std::uint32_t i = 0; i < section_count; ++i) {
    const std::uint64_t at = table + std::uint64_t{i} * section_header_size;
    PeSection s;
    for (int k = 0; k < 8 && file[at + k] != 0; ++k) s.name += static_cast<char>(file[at + k]);
    s.virtual_size = u32_at(file, at + section_virtual_size_at);
    s.virtual_address = u32_at(file, at + section_address_at);
    s.raw_size = u32_at(file, at + section_raw_size_at);
    s.raw_offset = u32_at(file, at + section_raw_offset_at);
    s.characteristics = u32_at(file, at + section_characteristics_at);
    image.sections.push_back(std::move(s));
  }
  return image;
}

const PeSection* find_section(const PeImage& image, std::string_view name) {
  for (const PeSection& s : image.sections) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

std::span<const std::uint8_t> section_contents(std::span<const std::uint8_t> file, const PeSection& section) {
  const std::uint32_t size = section.virtual_size == 0 ? section.raw_size : std::min(section.virtual_size, section.raw_size);
  if (section.raw_offset > file.size() || size > file.size() - section.raw_offset) {
    throw PeFormatError("section " + section.name + " runs past the end of the file (is the file cut short?)");
  }
  return file.subspan(section.raw_offset, size);
}

bool exports_ordinal(std::span<const std::uint8_t> file, const PeImage& image, std::uint32_t ordinal) {
  if (image.export_rva == 0 || image.export_size == 0) return false;
  const std::optional<std::uint64_t> directory = file_offset(file, image, image.export_rva, 40);
  if (!directory) return false;
  const std::uint32_t base = u32_at(file, *directory + 16);
  const std::uint32_t function_count = u32_at(file, *directory + 20);
  const std::uint32_t functions_rva = u32_at(file, *directory + 28);
  if (ordinal < base || ordinal - base >= function_count) return false;
  const std::optional<std::uint64_t> slot = file_offset(file, image, functions_rva + 4 * (ordinal - base), 4);
  return slot && u32_at(file, *slot) != 0;
}

std::string main_library_problem(std::span<const std::uint8_t> file) {
  PeImage image;
  try {
    image = parse_pe_image(file);
  } catch (const PeFormatError& error) {
    return std::string("is not a PE32+ x86-64 DLL: ") + error.what();
  }
  if (image.machine != machine_x86_64) return "is built for " + machine_name(image.machine) + ", not x86-64";
  if (!image.pe32_plus) return "is a PE32 image, not PE32+ (64-bit)";
  if ((image.characteristics & file_is_dll) == 0) return "is an executable, not a DLL";
  if (!exports_ordinal(file, image, 1)) {
    return "exports no function under ordinal 1 (export the entry with a .def file: EXPORTS entry @1 NONAME)";
  }
  return {};
}

std::string program_problem(std::span<const std::uint8_t> file) {
  PeImage image;
  try {
    image = parse_pe_image(file);
  } catch (const PeFormatError& error) {
    return std::string("is not an x86-64 Windows program: ") + error.what();
  }
  if (image.machine != machine_x86_64) return "is built for " + machine_name(image.machine) + ", not x86-64";
  if (!image.pe32_plus) return "is a PE32 image, not PE32+ (64-bit)";
  if ((image.characteristics & file_is_dll) != 0) return "is a DLL, not a program";
  return {};
}

}  // namespace pack
