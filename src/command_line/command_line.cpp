#include "command_line/command_line.h"

#include <utility>

namespace command_line {
namespace {

// Characters that make an argument need quotes. Carriage return is not among them: the
// splitters take it as an ordinary character. "*" and "?" are quoted because the child's C
// run-time would expand them again; the parent's own run-time has already expanded what the
// user left unquoted.
constexpr char16_t quoting_set[] = u" \t\n\v\"*?";

bool needs_quotes(const char16_t* argument) {
  // An empty argument is written as "" so that the child receives it too.
  if (*argument == u'\0') return true;
  for (const char16_t* q = quoting_set; *q != u'\0'; ++q) {
    for (const char16_t* c = argument; *c != u'\0'; ++c) {
      if (*c == *q) return true;
    }
  }
  return false;
}

bool blank(char16_t c) { return c == u' ' || c == u'\t'; }

}  // namespace

void Line::put(char16_t c) {
  if (length + 1 >= capacity) {
    too_long = true;
    return;
  }
  text[length++] = c;
  text[length] = u'\0';
}

void Line::put(char16_t c, std::size_t count) {
  for (; count > 0; --count) put(c);
}

void append_program_name(Line& line, const char16_t* name) {
  const bool quoted = needs_quotes(name);
  if (quoted) line.put(u'"');
  for (const char16_t* c = name; *c != u'\0'; ++c) line.put(*c);
  if (quoted) line.put(u'"');
}

// Backslashes are doubled only where a double quote follows them, the closing one included:
//   a b      -> "a b"
//   a"b      -> "a\"b"
//   a b\     -> "a b\\"
//   \" x     -> "\\\" x"
//   c:\dir   -> c:\dir
void append_argument(Line& line, const char16_t* argument) {
  if (!needs_quotes(argument)) {
    for (const char16_t* c = argument; *c != u'\0'; ++c) line.put(*c);
    return;
  }
  line.put(u'"');
  for (const char16_t* c = argument;; ++c) {
    std::size_t backslashes = 0;
    for (; *c == u'\\'; ++c) ++backslashes;
    if (*c == u'\0') {
      line.put(u'\\', 2 * backslashes);
      break;
    }
    if (*c == u'"') {
      line.put(u'\\', 2 * backslashes + 1);
    } else {
      line.put(u'\\', backslashes);
    }
    line.put(*c);
  }
  line.put(u'"');
}

bool compose(Line& line, const char16_t* program, int count, char16_t* const* vector) {
  line.length = 0;
  line.too_long = false;
  line.text[0] = u'\0';
  if (count > 0) append_program_name(line, program);
  for (int i = 1; i < count && !line.too_long; ++i) {
    line.put(u' ');
    append_argument(line, vector[i]);
  }
  return !line.too_long;
}

std::vector<std::u16string> split(std::u16string_view line) {
  std::vector<std::u16string> arguments;
  std::size_t i = 0;
  std::u16string program;
  bool quoted = false;
  for (; i < line.size() && (quoted || !blank(line[i])); ++i) {
    if (line[i] == u'"') {
      quoted = !quoted;
    } else {
      program += line[i];
    }
  }
  arguments.push_back(std::move(program));
  for (;;) {
    while (i < line.size() && blank(line[i])) ++i;
    if (i == line.size()) break;
    std::u16string argument;
    quoted = false;
    while (i < line.size()) {
      std::size_t backslashes = 0;
      for (; i < line.size() && line[i] == u'\\'; ++i) ++backslashes;
      if (i < line.size() && line[i] == u'"') {
        argument.append(backslashes / 2, u'\\');
        if (backslashes % 2 == 1) {
          argument += u'"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
          argument += u'"';
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
        continue;
      }
      argument.append(backslashes, u'\\');
      if (i == line.size() || (!quoted && blank(line[i]))) break;
      argument += line[i++];
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

}  // namespace command_line
