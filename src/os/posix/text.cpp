#include "os/posix/text.h"

namespace os::posix {

std::string native_path(const char16_t* path) {
  std::string out = to_utf8(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

std::u16string launcher_path(std::string_view path) {
  std::u16string out = from_utf8(path);
  for (char16_t& c : out) {
    if (c == u'/') c = u'\\';
  }
  return out;
}

std::uint32_t store_text(std::u16string_view text, char16_t* out, std::uint32_t capacity) {
  const auto needed = static_cast<std::uint32_t>(text.size() + 1);
  if (out == nullptr || needed > capacity) return needed;
  text.copy(out, text.size());
  out[text.size()] = u'\0';
  return needed - 1;
}

}  // namespace os::posix
