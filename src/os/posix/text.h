// UTF-16 <-> UTF-8 at the POSIX boundary, with the launcher's "\" separator mapped to "/".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "text/wide_text.h"

namespace os::posix {

// Text crosses the boundary whatever it holds: what has no form on the other side (a malformed
// UTF-8 sequence, an unpaired surrogate) becomes U+FFFD.
inline std::string to_utf8(std::u16string_view text) { return text::to_utf8_replacing(text); }
inline std::u16string from_utf8(std::string_view text) { return text::to_utf16_replacing(text); }
// A launcher path in the POSIX spelling: UTF-8 with every "\" turned into "/".
std::string native_path(const char16_t* path);
// The reverse: a POSIX path as the launcher spells it, UTF-16 with every "/" turned into "\".
std::u16string launcher_path(std::string_view path);
// A text result as os.h gives it (full_path_name and the calls that answer as it does): stores
// text and its terminator and returns the length when they fit capacity; otherwise stores
// nothing and returns the size needed.
std::uint32_t store_text(std::u16string_view text, char16_t* out, std::uint32_t capacity);

}  // namespace os::posix
