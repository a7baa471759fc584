// The attached data as the launcher finds it: the contents of the section ".zamrik" of its own
// image, which the packer adds after the sections that the build links.
#pragma once

#include <cstdint>
#include <string_view>

#include "payload/attached_data.h"

inline constexpr char attached_data_section_name[] = ".zamrik";

namespace payload {

// The bytes of the named section of the PE image that the loader mapped at image_base, as many
// as its virtual size says; {nullptr, 0} when the image has no such section.
AttachedData find_image_section(const std::uint8_t* image_base, std::string_view name);

}  // namespace payload
