#include "payload/linked_attached_data.h"

#include "bytes/little_endian.h"

namespace payload {

// The image is the one the loader mapped and checked, so its headers are trusted as they are.
AttachedData find_image_section(const std::uint8_t* image_base, std::string_view name) {
  const std::uint8_t* pe = image_base + little_endian::load_u32(image_base + 0x3C);
  const std::uint32_t section_count = little_endian::load_u16(pe + 6);
  const std::uint32_t optional_size = little_endian::load_u16(pe + 20);
  const std::uint8_t* section = pe + 24 + optional_size;
  for (std::uint32_t i = 0; i < section_count; ++i, section += 40) {
    std::string_view section_name(reinterpret_cast<const char*>(section), 8);
    section_name = section_name.substr(0, section_name.find('\0'));
    if (section_name == name) return {image_base + little_endian::load_u32(section + 12), little_endian::load_u32(section + 8)};
  }
  return {nullptr, 0};
}

}  // namespace payload
