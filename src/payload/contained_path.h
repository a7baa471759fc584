// Which entry paths name a file below the unpack directory and nothing else. The launcher
// refuses every other path, whatever wrote the table; the packer refuses them too, with a
// reason each, and more besides.
#pragma once

#include <cstddef>
#include <string_view>

#include "payload/attached_data.h"

namespace payload {

// True when path, joined behind the unpack directory and "\", stays below it on Windows and
// through the POSIX backend: every "\"-separated component is a plain name. Refused are empty
// components (a leading, doubled or trailing "\"), names that end in a dot or a space (the system
// strips those, so "." and ".." fall here, as do tricks such as ". ." that may become ".."), "/"
// and ":" anywhere (another separator; a drive or a stream), and device names.
bool entry_path_stays_inside(std::u16string_view path);

// Writes the unpack directory, "\" and the entry's path into out (path_capacity units): false when
// that does not fit or the path would not stay inside.
bool join_target_path(const char16_t* directory, std::size_t directory_length, const PayloadEntry& entry, char16_t* out);

// CON, PRN, AUX, NUL, COM0-9, LPT0-9 (and their superscript-digit forms), CONIN$ and CONOUT$
// name devices whatever extension follows and whatever spaces precede it.
bool is_device_name(std::u16string_view name);

}  // namespace payload
