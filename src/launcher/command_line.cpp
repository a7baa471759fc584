#include "command_line/command_line.h"
#include "launcher/launcher.h"

namespace launcher {

// The run-time's vector rather than a fresh split of the raw line: a wildcard that the user
// quoted is then still one literal argument, and one left bare arrives expanded exactly once.
bool build_child_command_line(RunState& state) {
  static_assert(command_line::longest_line < command_line_capacity);
  command_line::Line line{state.child_command_line, command_line::longest_line + 1};
  char16_t* const* vector = os::argument_vector();
  const int count = vector != nullptr && os::argument_count() > 0 ? os::argument_count() : 1;
  return command_line::compose(line, state.executable.module_file_name(), count, vector);
}

}  // namespace launcher
