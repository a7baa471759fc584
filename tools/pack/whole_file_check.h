// What verify checks besides the attached data: that the file is whole (its headers agree with
// its size and sections) and unchanged since packing (the optional header's checksum, which the
// packer writes and a signing tool renews). A change is placed where it can be: the launcher's
// code and headers against the image this packer carries, the sections' padding, and what is
// left, the identity strings and the resources.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace pack {

// Throws InputError naming the damage when the file is no launcher, or cut short or longer than
// its headers say.
void check_file_length(std::span<const std::uint8_t> file);

// Whether the stored checksum matches the file's.
bool checksum_matches(std::span<const std::uint8_t> file);

// Where a changed byte lies, as a phrase ("in the launcher's code (section .text)"), when it lies
// in the launcher's part or in padding; nothing when those are as packed.
std::optional<std::string> place_change(std::span<const std::uint8_t> file, std::span<const std::uint8_t> launcher_image);

}  // namespace pack
