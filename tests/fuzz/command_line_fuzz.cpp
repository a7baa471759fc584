// The child command line: an argument vector written with the launcher's quoting and split
// again by the C run-time's rules must come back equal, empty arguments included. The line is
// as long as the launcher's buffer allows.
//
// Input: UTF-16LE code units; each 0x0000 unit ends one argument.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bytes/little_endian.h"
#include "command_line/command_line.h"

namespace {

using Arguments = std::vector<std::u16string>;

constexpr char16_t module_name[] = u"C:\\Program Files\\Zamrik Test\\app.exe";

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Arguments arguments{u"", u""};  // element 0 stands for the module name, which replaces it
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const auto unit = static_cast<char16_t>(little_endian::load_u16(data + i));
    if (unit == 0) {
      arguments.emplace_back();
    } else {
      arguments.back() += unit;
    }
  }
  std::vector<char16_t*> vector;
  for (std::u16string& argument : arguments) vector.push_back(argument.data());

  constexpr std::size_t capacity = 32768;
  static char16_t buffer[capacity];
  command_line::Line line{buffer, capacity};
  if (!command_line::compose(line, module_name, static_cast<int>(vector.size()), vector.data())) {
    // Only a line past the capacity is refused; inputs of this size cannot reach it.
    check(size / 2 * 3 + std::size(module_name) >= capacity);
    check(line.length < capacity && buffer[line.length] == u'\0');
    return 0;
  }
  const std::u16string written(buffer);
  check(written.size() == line.length && written.size() < capacity);

  arguments[0] = module_name;
  check(command_line::split(written) == arguments);
  return 0;
}
