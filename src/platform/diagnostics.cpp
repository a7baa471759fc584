#include "platform/diagnostics.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "os/os.h"
#include "text/wide_text.h"

namespace platform {
namespace {

// One message line, assembled in place: a failure to report may well be a lack of memory. The
// longest line holds a path of 4095 units or a system text of system_text_capacity, and a few
// words; anything beyond the capacity would be cut, not overflow.
constexpr std::size_t system_text_capacity = 2048;
constexpr std::size_t line_capacity = 4096 + system_text_capacity + 128;

class Line {
 public:
  void append(std::string_view ascii) {
    for (char c : ascii) put(static_cast<char16_t>(c));
  }
  void append(std::u16string_view text) {
    for (char16_t c : text) put(c);
  }
  std::u16string_view text() const { return {units_, length_}; }
  // The text without its line break, terminated, for a message box.
  const char16_t* terminated_line() {
    if (length_ > 0 && units_[length_ - 1] == u'\n') --length_;
    units_[length_] = u'\0';
    return units_;
  }

 private:
  void put(char16_t c) {
    if (length_ < line_capacity) units_[length_++] = c;
  }
  char16_t units_[line_capacity + 1];
  std::size_t length_ = 0;
};

// A windowed launcher started from the desktop has no standard handles: what it would write
// there appears in a message box instead, titled with its file name, as users of windowed
// programs expect. Nothing else about the failure changes.
bool shown_in_message_box(os::StandardStream stream, Line& line) {
  if (!os::graphical_program() || os::standard_stream_usable(stream)) return false;
  constexpr std::uint32_t name_capacity = 4096;
  static char16_t name[name_capacity];
  const std::uint32_t length = std::min(os::module_file_name(name, name_capacity), name_capacity - 1);
  name[length] = u'\0';
  const char16_t* title = name;
  for (std::uint32_t i = 0; i < length; ++i) {
    if (name[i] == u'\\') title = name + i + 1;
  }
  return os::show_message_box(line.terminated_line(), title);
}

void write_error_line(Line& line) {
  if (!shown_in_message_box(os::StandardStream::error, line)) os::write_error(line.text());
}

// format with its single "%ls" replaced by text; the formats are our own constants.
void write_filled_in(std::string_view format, const char16_t* text) {
  const std::size_t at = format.find("%ls");
  Line line;
  line.append(format.substr(0, at));
  line.append(std::u16string_view(text));
  line.append(format.substr(at + 3));
  write_error_line(line);
}

std::atomic<FailureCleanup> failure_cleanup{nullptr};

[[noreturn]] void exit_after_failure() {
  // Taken out first, so that a failure inside the clean-up does not start it again.
  if (const FailureCleanup cleanup = failure_cleanup.exchange(nullptr)) cleanup();
  std::exit(2);
}

}  // namespace

void set_failure_cleanup(FailureCleanup cleanup) { failure_cleanup.store(cleanup); }

void fatal_exit(const char* message) {
  Line line;
  line.append(message);
  if (!shown_in_message_box(os::StandardStream::output, line)) {
    std::puts(message);
    std::fflush(stdout);
  }
  exit_after_failure();
}

void fail_path_template_expansion(const char16_t* spec) {
  write_filled_in(message::spec_expansion, spec);
  os::abort_process();
}

void fail_open_for_writing(const char16_t* path) {
  write_filled_in(message::open_for_writing, path);
  exit_after_failure();
}

void fail_with_system_error(const char* message, std::uint32_t code) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%lu", static_cast<unsigned long>(code));
  Line line;
  line.append(message);
  line.append(" ([Error ");
  line.append(digits);
  line.append("] ");
  char16_t text[system_text_capacity];
  std::size_t length = os::system_error_text(code, text, system_text_capacity);
  while (length > 0 && (text[length - 1] == u'\r' || text[length - 1] == u'\n')) --length;
  if (length > 0) {
    line.append(std::u16string_view(text, length));
  } else {
    line.append("<unknown>");
  }
  line.append(")\n");
  write_error_line(line);
  exit_after_failure();
}

void abort_on_overflow() { os::abort_process(); }

void abort_on_fault() { os::abort_process(); }

void append_bounded(char16_t* destination, const char16_t* source, std::size_t capacity) {
  if (source == nullptr) abort_on_overflow();
  const std::size_t length = text::bounded_length(destination, capacity);
  if (length == capacity) abort_on_overflow();
  std::size_t room = capacity - length;
  char16_t* out = destination + length;
  for (; *source != u'\0'; ++source) {
    if (room <= 1) abort_on_overflow();
    *out++ = *source;
    --room;
  }
  *out = u'\0';
}

}  // namespace platform
