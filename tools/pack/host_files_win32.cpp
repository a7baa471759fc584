#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "entry_path.h"
#include "host_files.h"

namespace pack {

std::filesystem::path path_from_utf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string utf8_of(const std::filesystem::path& path) {
  const std::wstring& native = path.native();
  return display(std::u16string(native.begin(), native.end()));
}

std::optional<std::u16string> name_units(const std::filesystem::path& name) {
  const std::wstring& native = name.native();
  return std::u16string(native.begin(), native.end());
}

int create_for_writing(const std::filesystem::path& path) {
  return ::_wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

bool write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const unsigned piece = static_cast<unsigned>(std::min<std::size_t>(bytes.size(), 1u << 30));
    const int written = ::_write(fd, bytes.data(), piece);
    if (written < 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return true;
}

bool close_file(int fd) { return ::_close(fd) == 0; }

}  // namespace pack
