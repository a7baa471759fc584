#include "entry_path.h"

#include <cstdio>

#include "payload/contained_path.h"
#include "text/wide_text.h"

namespace pack {
namespace {

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
  if (payload::is_device_name(name)) return "has the name " + quoted(name) + ", which Windows reserves for a device";
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
