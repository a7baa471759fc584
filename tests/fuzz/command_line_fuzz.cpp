// The child command line: an argument vector written with the launcher's quoting and split
// again by the C run-time's rules must come back equal, empty arguments included.
//
// Input: UTF-16LE code units; each 0x0000 unit ends one argument.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "launcher/launcher.h"

namespace {

using Arguments = std::vector<std::u16string>;

bool blank(char16_t c) { return c == u' ' || c == u'\t'; }

// How the C run-time splits a command line into its argument vector. The program name is
// taken without escapes: double quotes only switch the quoted state. In the other arguments,
// 2n backslashes before a double quote give n backslashes and the quote switches the quoted
// state (two quotes in a row inside quotes give one literal quote); 2n + 1 backslashes before
// it give n backslashes and a literal quote; other backslashes are literal. Blanks outside
// quotes separate arguments.
Arguments split_like_runtime(const std::u16string& line) {
  Arguments out;
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
  out.push_back(program);
  for (;;) {
    while (i < line.size() && blank(line[i])) ++i;
    if (i == line.size()) break;
    std::u16string argument;
    quoted = false;
    while (i < line.size()) {
      std::size_t backslashes = 0;
      while (i < line.size() && line[i] == u'\\') {
        ++backslashes;
        ++i;
      }
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
    out.push_back(argument);
  }
  return out;
}

constexpr char16_t module_name[] = u"C:\\Program Files\\Zamrik Test\\app.exe";

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Arguments arguments{u"", u""};  // element 0 stands for the module name, which replaces it
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const auto unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit == 0) {
      arguments.emplace_back();
    } else {
      arguments.back() += unit;
    }
  }
  std::vector<char16_t*> vector;
  for (std::u16string& argument : arguments) vector.push_back(argument.data());

  static char16_t buffer[launcher::command_line_capacity];
  launcher::CommandLine line{buffer, launcher::command_line_capacity};
  if (!launcher::compose_command_line(line, module_name, static_cast<int>(vector.size()), vector.data())) {
    // Only a line past the capacity is refused; inputs of this size cannot reach it.
    check(size / 2 * 3 + std::size(module_name) >= launcher::command_line_capacity);
    check(line.length < launcher::command_line_capacity && buffer[line.length] == u'\0');
    return 0;
  }
  const std::u16string written(buffer);
  check(written.size() == line.length && written.size() < launcher::command_line_capacity);

  arguments[0] = module_name;
  check(split_like_runtime(written) == arguments);
  return 0;
}
