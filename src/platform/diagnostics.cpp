#include "platform/diagnostics.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "os/os.h"
#include "text/wide_text.h"

namespace platform {
namespace {

std::u16string widen(std::string_view ascii) { return {ascii.begin(), ascii.end()}; }

// format with its single "%ls" replaced by text; the formats are our own constants.
std::u16string fill_in(std::string_view format, const char16_t* text) {
  const std::size_t at = format.find("%ls");
  return widen(format.substr(0, at)) + text + widen(format.substr(at + 3));
}

}  // namespace

void fatal_exit(const char* message) {
  std::puts(message);
  std::exit(2);
}

void fail_path_template_expansion(const char16_t* spec) {
  os::write_error(fill_in(message::spec_expansion, spec));
  os::abort_process();
}

void fail_open_for_writing(const char16_t* path) {
  os::write_error(fill_in(message::open_for_writing, path));
  std::exit(2);
}

void fail_with_system_error(const char* message, std::uint32_t code) {
  std::u16string text;
  std::u16string line = widen(message) + u" ([Error " + widen(std::to_string(code)) + u"] ";
  if (os::system_error_text(code, text)) {
    while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n')) text.pop_back();
    line += text;
  } else {
    line += u"<unknown>";
  }
  line += u")\n";
  os::write_error(line);
  std::exit(2);
}

void abort_on_overflow() { os::abort_process(); }

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
