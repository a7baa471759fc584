#include "entry_path.h"

#include <cstdio>

#include "payload/contained_path.h"

namespace pack {
namespace {

char16_t upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

std::string quoted(std::u16string_view name) { return "'" + display(name) + "'"; }

std::string name_problem(std::u16string_view name) {
  if (name.empty()) return "has an empty component (two separators in a row, or one at the end)";
  if (name == u"..") return "holds '..', which climbs out of the unpack directory";
  if (name == u".") return "holds a '.' component";
  for (char16_t c : name) {
    if (c < 0x20) {
      char text[64];
      std::snprintf(text, sizeof text, "holds the control character U+%04X", static_cast<unsigned>(c));
      return text;
    }
    if (std::u16string_view(u"<>:\"/|?*").find(c) != std::u16string_view::npos) {
      return "holds '" + display(std::u16string_view(&c, 1)) + "', which Windows does not allow in names";
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

std::optional<std::u16string> to_utf16(std::string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, code = lead & 0x07, minimum = 0x10000;
    } else {
      return std::nullopt;
    }
    if (text.size() - i <= extra) return std::nullopt;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      code = code << 6 | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
    if (code >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
    i += extra + 1;
  }
  return out;
}

std::optional<std::string> to_utf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      return std::nullopt;
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | code >> 6);
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | code >> 12);
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | code >> 18);
      out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

std::string display(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t pair = (i + 1 < text.size() && text[i] >= 0xD800 && text[i] <= 0xDBFF) ? 2 : 1;
    const std::optional<std::string> piece = to_utf8(text.substr(i, pair));
    if (piece) {
      out += *piece;
      i += pair - 1;
    } else {
      out += "\xEF\xBF\xBD";
    }
  }
  return out;
}

std::string entry_path_problem(std::u16string_view path) {
  if (path.empty()) return "is empty";
  if (path.front() == u'\\') return "starts with '\\', which makes it absolute";
  if (path.size() >= 2 && path[1] == u':' && upper(path[0]) >= u'A' && upper(path[0]) <= u'Z') {
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

std::u16string fold_case(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = upper(c);
  return out;
}

}  // namespace pack
