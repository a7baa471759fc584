// UTF-16 <-> UTF-8 at the POSIX boundary, with the launcher's "\" separator mapped to "/".
#pragma once

#include <string>
#include <string_view>

namespace os::posix {

std::string to_utf8(std::u16string_view text);
std::u16string from_utf8(std::string_view text);
// A launcher path in the POSIX spelling: UTF-8 with every "\" turned into "/".
std::string native_path(const char16_t* path);

}  // namespace os::posix
