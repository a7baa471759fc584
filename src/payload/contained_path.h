// Which entry paths name a file below the unpack directory and nothing else. The launcher
// refuses every other path, whatever wrote the table; the packer refuses them too, with a
// reason each, and more besides.
#pragma once

#include <string_view>

namespace payload {

// True when path, joined behind the unpack directory and "\", stays below it on Windows and
// through the POSIX backend: every "\"-separated component is a plain name. Refused are empty
// components (a leading, doubled or trailing "\"), names that end in a dot or a space (the system
// strips those, so "." and ".." fall here, as do tricks such as ". ." that may become ".."), "/"
// and ":" anywhere (another separator; a drive or a stream), and device names.
bool entry_path_stays_inside(std::u16string_view path);

// CON, PRN, AUX, NUL, COM0-9, LPT0-9 (and their superscript-digit forms), CONIN$ and CONOUT$
// name devices whatever extension follows and whatever spaces precede it.
bool is_device_name(std::u16string_view name);

}  // namespace payload
