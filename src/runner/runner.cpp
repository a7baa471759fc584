// The stock main library that runs a packed program. It reads the record beside it, starts the
// program from the unpack directory with the record's arguments and then the user's, quoted as
// the launcher quotes the child's, in a job that ends the program when this process ends, and
// returns the program's exit code.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "command_line/command_line.h"
#include "launcher/launcher.h"
#include "os/os.h"
#include "payload/contained_path.h"
#include "platform/diagnostics.h"
#include "runner/run_record.h"

namespace {

constexpr char read_record_message[] = "Error, couldn't read what to run.";
constexpr char start_program_message[] = "Error, couldn't start the packed program";
constexpr char escaping_program_message[] = "Error, the program to run lies outside the unpack directory.";

std::optional<runner::RunRecord> read_record(const std::u16string& path) {
  const os::Handle file = os::open_file_for_reading(path.c_str());
  if (file == os::invalid_handle) return std::nullopt;
  static std::uint8_t bytes[runner::max_record_size + 1];
  std::size_t size = 0;
  std::uint32_t got = 0;
  bool ok = true;
  while (size < sizeof bytes && (ok = os::read_file(file, bytes + size, static_cast<std::uint32_t>(sizeof bytes - size), &got)) && got > 0) {
    size += got;
  }
  os::close_handle(file);
  if (!ok) return std::nullopt;
  return runner::decode_run_record({bytes, size});
}

// The program, while this process waits for it.
std::atomic<os::Handle> program_process{nullptr};

// Sharing a console, the program gets the same events and decides about them itself. Ctrl+C
// and Ctrl+Break leave this process waiting for it; when the console closes or the session
// ends, this process waits as long as the parent would, since its end ends the program.
bool on_console_event(os::ConsoleEvent event) {
  if (event == os::ConsoleEvent::ctrl_c || event == os::ConsoleEvent::ctrl_break) return true;
  if (const os::Handle program = program_process.load()) os::wait_for(program, launcher::grace_milliseconds);
  return false;
}

}  // namespace

extern "C" int runner_entry(int argument_count, char16_t** argument_vector, const char16_t* library_path) {
  const std::u16string library = library_path;
  const std::u16string directory = library.substr(0, library.rfind(u'\\'));
  const std::optional<runner::RunRecord> record = read_record(directory + u"\\" + runner::record_name);
  if (!record) platform::fatal_exit(read_record_message);

  // The unpack loop's own rule: a record that names anything else is none that the packer wrote.
  if (!payload::entry_path_stays_inside(record->program)) platform::fatal_exit(escaping_program_message);
  const std::u16string program = directory + u"\\" + record->program;
  // The launcher's limit for its child's line: a line that does not fit fails to start, never
  // cut short.
  static char16_t text[command_line::longest_line + 1];
  command_line::Line line{text, sizeof text / sizeof text[0]};
  line.text[0] = u'\0';
  command_line::append_program_name(line, program.c_str());
  for (const std::u16string& argument : record->arguments) {
    line.put(u' ');
    command_line::append_argument(line, argument.c_str());
  }
  // The first argument is the launcher's own path; the rest are the user's.
  for (int i = 1; i < argument_count; ++i) {
    line.put(u' ');
    command_line::append_argument(line, argument_vector[i]);
  }
  if (line.too_long) platform::fail_with_system_error(start_program_message, os::error_code(os::Failure::command_line_too_long));

  // Never closed: when this process ends, however it ends, the job ends the program with it.
  const os::Handle job = os::create_kill_on_close_job();
  os::add_console_event_handler(on_console_event);
  // Never closed either: a console handler may wait on it until this process ends.
  const os::Handle process = os::create_child_process(program.c_str(), text, job);
  if (process == nullptr) platform::fail_with_system_error(start_program_message, os::last_error());
  program_process.store(process);
  std::uint32_t exit_code = 1;
  if (os::wait_for(process) != os::WaitResult::ended || !os::exit_code_of(process, &exit_code)) exit_code = 1;
  return static_cast<int>(exit_code);
}
