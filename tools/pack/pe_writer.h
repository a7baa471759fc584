// Turns the launcher image that the build made into an application's executable. The image ends
// with its identity section; the executable keeps every byte before that section and ends with
//   the identity (rewritten) | .zamrik: the attached data, read-only | .rsrc: the resources
// and headers that match: section count and table, sizes of the image and of the initialized
// data, the resource directory, no certificate, the subsystem, and the checksum.
#pragma once

#include <cstdint>
#include <iostream>
#include <functional>
#include <iosfwd>
#include <span>
#include <string>

#include "pe_image.h"

namespace pack {

inline constexpr std::uint32_t section_initialized_data = 0x00000040;
inline constexpr std::uint32_t section_readable = 0x40000000;

class ExecutableWriter {
 public:
  // Throws ToolError when the image is not laid out as the build makes it.
  ExecutableWriter(std::span<const std::uint8_t> launcher_image, std::string identity,
                   Subsystem subsystem = Subsystem::windowed);

  // Where the attached data starts in the executable.
  std::uint64_t block_offset() const { return block_offset_; }

  // Writes everything but the attached data, which the caller has put at block_offset() in file:
  // resources(rva) makes the resource section for the address it gets. Throws InputError when the
  // executable would pass the format's 4 GiB. A failed write stops it and leaves file failed, for
  // the caller to report.
  void finish(std::iostream& file, std::uint64_t block_size, const std::function<std::string(std::uint32_t)>& resources) const;

 private:
  std::span<const std::uint8_t> image_;
  std::string identity_;
  Subsystem subsystem_;
  std::uint64_t table_ = 0;     // offset of the section table
  std::uint64_t optional_ = 0;  // offset of the optional header
  std::uint32_t section_count_ = 0;
  std::uint32_t file_alignment_ = 0;
  std::uint32_t section_alignment_ = 0;
  std::uint32_t identity_rva_ = 0;
  std::uint64_t identity_offset_ = 0;
  std::uint64_t block_offset_ = 0;
};

// The optional header's checksum of a PE file: its 16-bit words summed with the carries folded
// back, the checksum field itself counted as zero, plus the file's length.
std::uint32_t pe_checksum(std::istream& file, std::uint64_t checksum_offset);

}  // namespace pack
