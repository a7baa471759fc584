#include "launcher/launcher.h"
#include "platform/diagnostics.h"

namespace launcher {
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

}  // namespace

void CommandLine::put(char16_t c) {
  if (length + 1 >= capacity) {
    too_long = true;
    return;
  }
  text[length++] = c;
  text[length] = u'\0';
}

void CommandLine::put(char16_t c, std::size_t count) {
  for (; count > 0; --count) put(c);
}

// Backslashes are doubled only where a double quote follows them, the closing one included:
//   a b      -> "a b"
//   a"b      -> "a\"b"
//   a b\     -> "a b\\"
//   \" x     -> "\\\" x"
//   c:\dir   -> c:\dir
void append_argument(CommandLine& line, const char16_t* argument) {
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

bool compose_command_line(CommandLine& line, const char16_t* first, int count, char16_t* const* vector) {
  line.length = 0;
  line.too_long = false;
  line.text[0] = u'\0';
  for (int i = 0; i < count && !line.too_long; ++i) {
    if (i > 0) line.put(u' ');
    append_argument(line, i == 0 ? first : vector[i]);
  }
  return !line.too_long;
}

// The run-time's vector rather than a fresh split of the raw line: a wildcard that the user
// quoted is then still one literal argument, and one left bare arrives expanded exactly once.
bool build_child_command_line(RunState& state) {
  static_assert(longest_child_command_line < command_line_capacity);
  CommandLine line{state.child_command_line, longest_child_command_line + 1};
  char16_t* const* vector = os::argument_vector();
  const int count = vector != nullptr && os::argument_count() > 0 ? os::argument_count() : 1;
  return compose_command_line(line, state.executable.module_file_name(), count, vector);
}

}  // namespace launcher
