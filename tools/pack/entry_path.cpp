#include "entry_path.h"

#include <cstdio>

#include "text/wide_text.h"

namespace pack {
namespace {

// CON, PRN, AUX, NUL, COM0-9, LPT0-9 (and their superscript-digit forms), CONIN$ and CONOUT$
// name devices whatever extension follows and whatever spaces precede it.
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

std::string quoted(std::u16string_view name) { return "'" + text::to_utf8_replacing(name) + "'"; }

std::string name_problem(std::u16string_view name) {
  if (name.empty()) return "has an empty component (two separators in a row, or one at the end)";
  if (name == u"..") return "holds '..', which climbs out of the unpack directory";
  if (name == u".") return "holds a '.' component";
  for (char16_t c : name) {
    if (c < 0x20) {
      char problem[64];
      std::snprintf(problem, sizeof problem, "holds the control character U+%04X", static_cast<unsigned>(c));
      return problem;
    }
    if (std::u16string_view(u"<>:\"/|?*").find(c) != std::u16string_view::npos) {
      return "holds '" + text::to_utf8_replacing(std::u16string_view(&c, 1)) + "', which Windows does not allow in names";
    }
  }
  if (name.back() == u'.' || name.back() == u' ') {
    return "has the name " + quoted(name) + ", which ends in a " + (name.back() == u'.' ? "dot" : "space") +
           " that Windows strips";
  }
  if (is_device_name(name)) return "has the name " + quoted(name) + ", which Windows reserves for a device";
  if (name.size() > max_name_units) {
    return "has a name of " + std::to_string(name.size()) + " units; Windows allows " + std::to_string(max_name_units);
  }
  return {};
}

}  // namespace

std::string entry_path_problem(std::u16string_view path) {
  if (path.empty()) return "is empty";
  if (path.front() == u'\\') return "starts with '\\', which makes it absolute";
  if (path.size() >= 2 && path[1] == u':' && text::ascii_upper(path[0]) >= u'A' && text::ascii_upper(path[0]) <= u'Z') {
    return "starts with a drive letter";
  }
  if (path.size() > max_entry_path_units) {
    return "is " + std::to_string(path.size()) + " units long; behind the shortest unpack directory the launcher takes " +
           std::to_string(max_entry_path_units);
  }
  for (std::size_t start = 0;;) {
    const std::size_t end = path.find(u'\\', start);
    const std::string problem = name_problem(path.substr(start, end - start));
    if (!problem.empty()) return problem;
    if (end == std::u16string_view::npos) return {};
    start = end + 1;
  }
}

}  // namespace pack
