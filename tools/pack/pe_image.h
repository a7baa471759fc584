// Just enough of the PE format for the packer: the headers that say what kind of image a file
// is, the section table (the launcher keeps its block in a section of its own), and the export
// directory (the main library's entry is its ordinal-1 export).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bytes/little_endian.h"

namespace pack {

// What is wrong in a PE file, without the file's name: the caller adds the name and decides who
// has to act (an InputError for the user's file, a ToolError for the packer's own image).
class PeFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::uint16_t machine_x86_64 = 0x8664;

// Fields at a byte offset; the caller has checked that they lie inside.
inline std::uint32_t u16_at(std::span<const std::uint8_t> bytes, std::uint64_t at) { return little_endian::load_u16(&bytes[at]); }
inline std::uint32_t u32_at(std::span<const std::uint8_t> bytes, std::uint64_t at) { return little_endian::load_u32(&bytes[at]); }

// Where the MZ header keeps the PE header's file offset.
inline constexpr std::uint64_t pe_header_offset_at = 0x3C;
// Offsets from the PE signature: the file header's fields, then the optional header.
inline constexpr std::uint64_t machine_at = 4;
inline constexpr std::uint64_t section_count_at = 6;
inline constexpr std::uint64_t optional_header_size_at = 20;
inline constexpr std::uint64_t file_characteristics_at = 22;
inline constexpr std::uint64_t optional_header_at = 24;
// Offsets in a section header.
inline constexpr std::uint64_t section_virtual_size_at = 8;
inline constexpr std::uint64_t section_address_at = 12;
inline constexpr std::uint64_t section_raw_size_at = 16;
inline constexpr std::uint64_t section_raw_offset_at = 20;
inline constexpr std::uint64_t section_characteristics_at = 36;
inline constexpr std::uint16_t file_is_dll = 0x2000;
inline constexpr std::uint32_t section_writable = 0x80000000;
// Offsets in the PE32+ optional header, and of its data directories.
inline constexpr std::uint64_t initialized_data_size_at = 8;
inline constexpr std::uint64_t section_alignment_at = 32;
inline constexpr std::uint64_t file_alignment_at = 36;
inline constexpr std::uint64_t image_size_at = 56;
inline constexpr std::uint64_t headers_size_at = 60;
inline constexpr std::uint64_t checksum_at = 64;
inline constexpr std::uint64_t directory_count_at = 108;
inline constexpr std::uint64_t directories_at = 112;
inline constexpr std::uint32_t resource_directory = 2;
inline constexpr std::uint32_t certificate_directory = 4;
inline constexpr std::uint64_t section_header_size = 40;
// The optional header's subsystem field: where it lies, and the two values a program has.
inline constexpr std::uint64_t subsystem_at = 68;
enum class Subsystem : std::uint16_t { windowed = 2, console = 3 };

struct PeSection {
  std::string name;
  std::uint32_t virtual_size = 0;
  std::uint32_t virtual_address = 0;
  std::uint32_t raw_size = 0;
  std::uint32_t raw_offset = 0;
  std::uint32_t characteristics = 0;
};

struct PeImage {
  std::uint16_t machine = 0;
  std::uint16_t characteristics = 0;
  bool pe32_plus = false;
  std::uint16_t subsystem = 0;
  std::uint32_t export_rva = 0;
  std::uint32_t export_size = 0;
  std::uint32_t resource_rva = 0;
  std::uint32_t resource_size = 0;
  std::vector<PeSection> sections;
};

// Reads the headers and the section table; throws PeFormatError saying what is missing.
PeImage parse_pe_image(std::span<const std::uint8_t> file);

const PeSection* find_section(const PeImage& image, std::string_view name);
// The bytes of a section as stored in the file: the smaller of its virtual and raw sizes, since
// the raw size is padded to the file alignment. Throws PeFormatError when they lie past the end.
std::span<const std::uint8_t> section_contents(std::span<const std::uint8_t> file, const PeSection& section);

// The file offset of an address, with at least size bytes after it inside the same section.
std::optional<std::uint64_t> file_offset(std::span<const std::uint8_t> file, const PeImage& image, std::uint32_t rva,
                                         std::uint32_t size);

// Whether the export directory holds a function under this ordinal.
bool exports_ordinal(std::span<const std::uint8_t> file, const PeImage& image, std::uint32_t ordinal);

// What keeps a file from serving as the main library (a PE32+ x86-64 DLL that exports
// ordinal 1), as the rest of a sentence after its name; empty when nothing does.
std::string main_library_problem(std::span<const std::uint8_t> file);

// What keeps a file from running as a packed program (a PE32+ x86-64 executable, no DLL), as
// the rest of a sentence after its name; empty when nothing does.
std::string program_problem(std::span<const std::uint8_t> file);

}  // namespace pack
