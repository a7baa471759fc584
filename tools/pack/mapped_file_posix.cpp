#include "mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host_files.h"
#include "pack_error.h"

namespace pack {

MappedFile::MappedFile(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw InputError(utf8_of(path) + ": cannot open: " + std::strerror(errno));
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    const int error = errno;
    ::close(fd);
    throw InputError(utf8_of(path) + ": " + (S_ISREG(info.st_mode) ? std::strerror(error) : "not a regular file"));
  }
  size_ = static_cast<std::size_t>(info.st_size);
  if (size_ > 0) {
    void* mapping = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapping == MAP_FAILED) {
      const int error = errno;
      ::close(fd);
      throw InputError(utf8_of(path) + ": cannot map: " + std::strerror(error));
    }
    data_ = static_cast<const std::uint8_t*>(mapping);
  }
  ::close(fd);
}

MappedFile::~MappedFile() {
  if (data_) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

}  // namespace pack
