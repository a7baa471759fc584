#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "os/os.h"
#include "os/posix/text.h"

namespace os {

namespace {

std::string read_command_line() {
  std::string bytes;
  const int file = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (file < 0) return bytes;
  char chunk[4096];
  for (ssize_t got; (got = read(file, chunk, sizeof chunk)) > 0;) bytes.append(chunk, static_cast<std::size_t>(got));
  close(file);
  return bytes;
}

// The kernel's argument list in UTF-16, as one block of pointers and text that a test may
// change, standing in for the C run-time's own vector.
char16_t** split_process_command_line(int* count) {
  const std::string bytes = read_command_line();
  std::vector<std::u16string> arguments;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t end = std::min(bytes.find('\0', at), bytes.size());
    arguments.push_back(posix::from_utf8(std::string_view(bytes).substr(at, end - at)));
    at = end + 1;
  }
  std::size_t units = 0;
  for (const std::u16string& argument : arguments) units += argument.size() + 1;
  const std::size_t pointers = (arguments.size() + 1) * sizeof(char16_t*);
  void* block = std::malloc(pointers + units * sizeof(char16_t));
  if (block == nullptr) return nullptr;
  auto** vector = static_cast<char16_t**>(block);
  auto* text = reinterpret_cast<char16_t*>(static_cast<char*>(block) + pointers);
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    vector[i] = text;
    std::memcpy(text, arguments[i].c_str(), (arguments[i].size() + 1) * sizeof(char16_t));
    text += arguments[i].size() + 1;
  }
  vector[arguments.size()] = nullptr;
  *count = static_cast<int>(arguments.size());
  return vector;
}

struct Arguments {
  int count = 0;
  char16_t** vector = nullptr;
};

const Arguments& process_arguments() {
  static const Arguments arguments = [] {
    Arguments read;
    read.vector = split_process_command_line(&read.count);
    return read;
  }();
  return arguments;
}

}  // namespace

int argument_count() { return process_arguments().count; }

char16_t** argument_vector() { return process_arguments().vector; }

}  // namespace os
