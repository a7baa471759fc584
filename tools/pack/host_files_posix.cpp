#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "text/wide_text.h"
#include "host_files.h"

namespace pack {

std::filesystem::path path_from_utf8(const std::string& text) { return text; }

std::string utf8_of(const std::filesystem::path& path) { return path.native(); }

std::string last_error_text() { return std::strerror(errno); }
void forget_last_error() { errno = 0; }
std::string reason_just_seen() { return errno != 0 ? last_error_text() : std::string(); }

std::filesystem::path canonical_path(const std::filesystem::path& path, std::error_code& error) {
  return std::filesystem::canonical(path, error);
}

std::vector<std::filesystem::path> list_folder(const std::filesystem::path& folder, std::error_code& error) {
  std::vector<std::filesystem::path> children;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    children.push_back(it->path());
  }
  return children;
}

std::optional<std::u16string> name_units(const std::filesystem::path& name) { return text::to_utf16(name.native()); }

int create_for_writing(const std::filesystem::path& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
}

bool write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return true;
}

bool close_file(int fd) { return ::close(fd) == 0; }

}  // namespace pack
