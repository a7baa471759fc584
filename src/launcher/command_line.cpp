#include "launcher/launcher.h"
#include "platform/diagnostics.h"

namespace launcher {
namespace {

// Characters that make an argument need quotes. Carriage return is not among them: the
// splitters take it as an ordinary character.
constexpr char16_t quoting_set[] = u" \t\n\v\"";

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
  if (length + 1 >= capacity) platform::abort_on_overflow();
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

void compose_command_line(CommandLine& line, const char16_t* first, int count, char16_t* const* vector) {
  line.length = 0;
  line.text[0] = u'\0';
  for (int i = 0; i < count; ++i) {
    if (i > 0) line.put(u' ');
    append_argument(line, i == 0 ? first : vector[i]);
  }
}

void build_child_command_line(RunState& state) {
  const char16_t* module = state.executable.module_file_name();
  int count = 0;
  char16_t** arguments = os::split_process_command_line(&count);
  // Without its arguments the child cannot be started as the user asked.
  if (arguments == nullptr) platform::fail_with_system_error(platform::message::launch_child, os::last_error());
  CommandLine line{state.child_command_line, command_line_capacity};
  compose_command_line(line, module, count, arguments);
  os::free_split_command_line(arguments);
}

}  // namespace launcher
