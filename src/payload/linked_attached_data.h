// The attached data as the launcher's link places it: a read-only section of its own
// (".zamrik") holding it, and its length as a constant. Both come from an object that
// the link recipe generates for each application.
#pragma once

#include <cstdint>

inline constexpr char attached_data_section_name[] = ".zamrik";
// The link names of the two declarations below, for the packer that defines them.
inline constexpr char attached_data_symbol[] = "zamrik_attached_data";
inline constexpr char attached_data_length_symbol[] = "zamrik_attached_data_length";

extern "C" {
extern const std::uint8_t zamrik_attached_data[];
extern const std::uint64_t zamrik_attached_data_length;
}
