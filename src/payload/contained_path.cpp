#include "payload/contained_path.h"

#include <algorithm>

#include "bytes/little_endian.h"
#include "text/wide_text.h"

namespace payload {
namespace {

bool is_plain_name(std::u16string_view name) {
  if (name.empty() || name.back() == u'.' || name.back() == u' ') return false;
  if (name.find_first_of(u"/:") != std::u16string_view::npos) return false;
  return !is_device_name(name);
}

}  // namespace

bool entry_path_stays_inside(std::u16string_view path) {
  for (std::size_t start = 0;;) {
    const std::size_t end = path.find(u'\\', start);
    if (!is_plain_name(path.substr(start, end - start))) return false;
    if (end == std::u16string_view::npos) return true;
    start = end + 1;
  }
}

bool is_device_name(std::u16string_view name) {
  std::u16string_view stem = name.substr(0, name.find(u'.'));
  while (!stem.empty() && stem.back() == u' ') stem.remove_suffix(1);
  for (std::u16string_view device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    if (text::equal_ignoring_case(stem, device)) return true;
  }
  if (stem.size() != 4) return false;
  const bool numbered = text::equal_ignoring_case(stem.substr(0, 3), u"COM") || text::equal_ignoring_case(stem.substr(0, 3), u"LPT");
  const char16_t digit = stem[3];
  return numbered && ((digit >= u'0' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' || digit == u'\u00B3');
}

bool join_target_path(const char16_t* directory, std::size_t directory_length, const PayloadEntry& entry, char16_t* out) {
  if (directory_length + 1 + entry.path_length + 1 > path_capacity) return false;
  std::copy(directory, directory + directory_length, out);
  out[directory_length] = u'\\';
  char16_t* const path = out + directory_length + 1;
  for (std::uint32_t i = 0; i < entry.path_length; ++i) path[i] = static_cast<char16_t>(little_endian::load_u16(entry.path + 2 * i));
  path[entry.path_length] = u'\0';
  return entry_path_stays_inside({path, entry.path_length});
}

}  // namespace payload
