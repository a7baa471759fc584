#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "os/os.h"
#include "os/posix/descriptor.h"
#include "os/posix/file_time.h"
#include "os/posix/text.h"

namespace os {

using posix::descriptor_of;
using posix::handle_of;
using posix::native_path;

namespace {

bool is_directory(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

CreateDirectoryResult create_directory(const char16_t* path) {
  if (::mkdir(native_path(path).c_str(), 0777) == 0) return CreateDirectoryResult::created;
  return errno == EEXIST ? CreateDirectoryResult::already_exists : CreateDirectoryResult::failed;
}

CreateDirectoryResult create_private_directory(const char16_t* path) {
  // mkdir never follows a link at the name it makes.
  if (::mkdir(native_path(path).c_str(), 0700) == 0) return CreateDirectoryResult::created;
  return errno == EEXIST ? CreateDirectoryResult::already_exists : CreateDirectoryResult::failed;
}

Handle create_file_for_writing(const char16_t* path) {
  return handle_of(::open(native_path(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
}

bool write_file(Handle file, const void* data, std::uint32_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(descriptor_of(file), bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    size -= static_cast<std::uint32_t>(written);
  }
  return true;
}

Handle open_file_for_reading(const char16_t* path) {
  return handle_of(::open(native_path(path).c_str(), O_RDONLY | O_CLOEXEC));
}

bool read_file(Handle file, void* data, std::uint32_t size, std::uint32_t* read) {
  ssize_t got = 0;
  while ((got = ::read(descriptor_of(file), data, size)) < 0 && errno == EINTR) {
  }
  if (got < 0) return false;
  *read = static_cast<std::uint32_t>(got);
  return true;
}

bool close_handle(Handle handle) { return ::close(descriptor_of(handle)) == 0; }

FileKind file_kind(const char16_t* path) {
  const std::string native = native_path(path);
  struct stat status;
  if (::lstat(native.c_str(), &status) != 0) return errno == ENOENT || errno == ENOTDIR ? FileKind::none : FileKind::unreadable;
  if (S_ISLNK(status.st_mode)) return is_directory(native) ? FileKind::directory_link : FileKind::file;
  return S_ISDIR(status.st_mode) ? FileKind::directory : FileKind::file;
}

// The birth time where the file system keeps one; otherwise the last status change, which is
// never earlier.
bool creation_time(const char16_t* path, std::int64_t* file_time) {
  struct statx status;
  if (::statx(AT_FDCWD, native_path(path).c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_CTIME, &status) != 0) {
    return false;
  }
  const statx_timestamp& time = (status.stx_mask & STATX_BTIME) != 0 ? status.stx_btime : status.stx_ctime;
  *file_time = posix::file_time_of(time.tv_sec, time.tv_nsec);
  return true;
}

bool delete_file(const char16_t* path) { return ::unlink(native_path(path).c_str()) == 0; }

// A link to a directory goes as a link, never through its target.
bool remove_directory(const char16_t* path) {
  const std::string native = native_path(path);
  struct stat status;
  if (::lstat(native.c_str(), &status) != 0) return false;
  if (!S_ISLNK(status.st_mode)) return ::rmdir(native.c_str()) == 0;
  if (!is_directory(native)) {
    errno = ENOTDIR;
    return false;
  }
  return ::unlink(native.c_str()) == 0;
}

namespace {

// A link leads to a directory or counts as a file, as file_kind has it.
FileKind kind_of_link(DIR* directory, const char* name) {
  struct stat target;
  return ::fstatat(::dirfd(directory), name, &target, 0) == 0 && S_ISDIR(target.st_mode) ? FileKind::directory_link
                                                                                         : FileKind::file;
}

// What file_kind would say of the entry, asking the system again only for links and for file
// systems that leave the type out of the listing.
FileKind kind_of(DIR* directory, const dirent& entry) {
  switch (entry.d_type) {
    case DT_DIR: return FileKind::directory;
    case DT_LNK: return kind_of_link(directory, entry.d_name);
    case DT_UNKNOWN: {
      struct stat status;
      if (::fstatat(::dirfd(directory), entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? FileKind::none : FileKind::unreadable;
      }
      if (S_ISLNK(status.st_mode)) return kind_of_link(directory, entry.d_name);
      return S_ISDIR(status.st_mode) ? FileKind::directory : FileKind::file;
    }
    default: return FileKind::file;
  }
}

// Stores the next entry's name and kind; false at the end of the listing.
bool read_entry(DIR* directory, char16_t* name, FileKind* kind) {
  errno = 0;
  const dirent* entry = ::readdir(directory);
  if (entry == nullptr) return false;
  // A POSIX name has at most 255 bytes, so it always fits.
  posix::store_text(posix::from_utf8(entry->d_name), name, entry_name_capacity);
  *kind = kind_of(directory, *entry);
  return true;
}

// The listing with its first entry read, or null.
Handle first_entry(DIR* listing, char16_t* name, FileKind* kind) {
  if (listing == nullptr) return invalid_handle;
  if (!read_entry(listing, name, kind)) {
    ::closedir(listing);
    return invalid_handle;
  }
  return listing;
}

}  // namespace

Handle list_directory(const char16_t* path, char16_t* name, FileKind* kind) {
  return first_entry(::opendir(native_path(path).c_str()), name, kind);
}

bool next_entry(Handle listing, char16_t* name, FileKind* kind) { return read_entry(static_cast<DIR*>(listing), name, kind); }

void close_listing(Handle listing) { ::closedir(static_cast<DIR*>(listing)); }

namespace {

// What an entry that O_NOFOLLOW or O_DIRECTORY kept from opening as a directory is.
FileKind kind_not_opened(int at, const std::string& name, int error) {
  if (error == ENOENT) return FileKind::none;
  if (error != ELOOP && error != ENOTDIR) return FileKind::unreadable;
  struct stat status;
  if (::fstatat(at, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? FileKind::none : FileKind::unreadable;
  }
  if (!S_ISLNK(status.st_mode)) return S_ISDIR(status.st_mode) ? FileKind::unreadable : FileKind::file;
  return ::fstatat(at, name.c_str(), &status, 0) == 0 && S_ISDIR(status.st_mode) ? FileKind::directory_link : FileKind::file;
}

}  // namespace

Handle open_directory(Handle at, const char16_t* name, FileKind* kind) {
  const int base = at == invalid_handle ? AT_FDCWD : descriptor_of(at);
  const std::string native = native_path(name);
  const int directory = ::openat(base, native.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (directory < 0) {
    *kind = kind_not_opened(base, native, errno);
    return invalid_handle;
  }
  *kind = FileKind::directory;
  return handle_of(directory);
}

void close_directory(Handle directory) { ::close(descriptor_of(directory)); }

bool owned_by_current_user(Handle directory) {
  struct stat status;
  return ::fstat(descriptor_of(directory), &status) == 0 && status.st_uid == ::geteuid();
}

// The listing reads through a descriptor of its own, so that closing it leaves the directory's.
Handle list_open_directory(Handle directory, char16_t* name, FileKind* kind) {
  const int own = ::fcntl(descriptor_of(directory), F_DUPFD_CLOEXEC, 0);
  if (own < 0) return invalid_handle;
  DIR* listing = ::fdopendir(own);
  if (listing == nullptr) {
    ::close(own);
    return invalid_handle;
  }
  ::rewinddir(listing);
  return first_entry(listing, name, kind);
}

bool remove_at(Handle directory, const char16_t* name) {
  const int at = descriptor_of(directory);
  const std::string native = native_path(name);
  if (::unlinkat(at, native.c_str(), 0) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR && errno != EPERM) return false;
  return ::unlinkat(at, native.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

// Lexical, like GetFullPathNameW: relative to the current directory, "." and ".." folded, the
// file need not exist, a trailing separator stays.
std::uint32_t full_path_name(const char16_t* path, std::uint32_t capacity, char16_t* out) {
  std::string native = native_path(path);
  if (native.empty()) {
    errno = ENOENT;
    return 0;
  }
  if (native[0] != '/') {
    char current[PATH_MAX];
    if (::getcwd(current, sizeof current) == nullptr) return 0;
    native = std::string(current) + "/" + native;
  }
  std::vector<std::string> parts;
  std::size_t start = 1;
  while (start <= native.size()) {
    std::size_t end = native.find('/', start);
    if (end == std::string::npos) end = native.size();
    const std::string part = native.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string full;
  for (const std::string& part : parts) full += "/" + part;
  if (full.empty() || native.back() == '/') full += "/";
  return posix::store_text(posix::launcher_path(full), out, capacity);
}

}  // namespace os
