// Entry paths as Windows will see them. The launcher places each path unchanged behind the
// unpack directory and never looks at its characters, so these rules are what keeps a packed
// application inside that directory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "payload/attached_data.h"

namespace pack {

// The shortest unpack directory the launcher can make: "C:", "\onefile_", a one-digit process
// id, "_", six digits, "_" and eleven characters.
inline constexpr std::size_t shortest_unpack_directory = 31;
// The longest join of unpack directory, "\" and path that the launcher takes.
inline constexpr std::size_t max_joined_path_units = payload::path_capacity - 1;
inline constexpr std::size_t max_entry_path_units = max_joined_path_units - shortest_unpack_directory - 1;
// Beyond this a path leaves less than about 260 units for the temporary directory.
inline constexpr std::size_t long_entry_path_units = 3800;
// Windows file systems hold at most this many units in one name.
inline constexpr std::size_t max_name_units = 255;

// Why a path would not land as exactly this file inside the unpack directory on Windows, as the
// rest of a sentence after the path; empty when it would.
std::string entry_path_problem(std::u16string_view path);

}  // namespace pack
