#include "os/os.h"
#include "os/win32/private_security.h"
#include "os/win32/windows_api.h"

namespace os {

using win32::wide;

CreateDirectoryResult create_directory(const char16_t* path) {
  if (CreateDirectoryW(wide(path), nullptr)) return CreateDirectoryResult::created;
  return GetLastError() == ERROR_ALREADY_EXISTS ? CreateDirectoryResult::already_exists : CreateDirectoryResult::failed;
}

CreateDirectoryResult create_private_directory(const char16_t* path) {
  win32::PrivateSecurity security;
  if (!win32::make_private_security(security)) return CreateDirectoryResult::failed;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &security.descriptor, FALSE};
  if (CreateDirectoryW(wide(path), &attributes)) return CreateDirectoryResult::created;
  return GetLastError() == ERROR_ALREADY_EXISTS ? CreateDirectoryResult::already_exists : CreateDirectoryResult::failed;
}

// A new file is made with CREATE_NEW and only an existing one is emptied with CREATE_ALWAYS: the
// same file either way. Under Wine, CREATE_ALWAYS truncates even a file it has just made, and on
// ext4 a file truncated to nothing is written back as soon as it is closed; the launcher then
// waits for that write-back again when it deletes the file (some milliseconds per file).
Handle create_file_for_writing(const char16_t* path) {
  HANDLE file = CreateFileW(wide(path), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
  return CreateFileW(wide(path), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
}

// A short write is no failure yet: the next call writes the rest or fails with the reason (a
// full disk under Wine takes part of a chunk first). A call that takes nothing would take
// nothing again, and sets no error of its own.
bool write_file(Handle file, const void* data, std::uint32_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(file, bytes, size, &written, nullptr)) return false;
    if (written == 0 || written > size) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    bytes += written;
    size -= written;
  }
  return true;
}

Handle open_file_for_reading(const char16_t* path) {
  return CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool read_file(Handle file, void* data, std::uint32_t size, std::uint32_t* read) {
  DWORD got = 0;
  if (!ReadFile(file, data, size, &got, nullptr)) return false;
  *read = got;
  return true;
}

bool close_handle(Handle handle) { return CloseHandle(handle) != 0; }

namespace {

// Attributes that were read: a link's own, never its target's.
FileKind kind_of(DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return FileKind::file;
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? FileKind::directory_link : FileKind::directory;
}

}  // namespace

FileKind file_kind(const char16_t* path) {
  const DWORD attributes = GetFileAttributesW(wide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileKind::none : FileKind::unreadable;
  }
  return kind_of(attributes);
}

bool creation_time(const char16_t* path, std::int64_t* file_time) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wide(path), GetFileExInfoStandard, &data)) return false;
  *file_time = static_cast<std::int64_t>((std::uint64_t{data.ftCreationTime.dwHighDateTime} << 32) |
                                         data.ftCreationTime.dwLowDateTime);
  return true;
}

bool delete_file(const char16_t* path) { return DeleteFileW(wide(path)) != 0; }

bool remove_directory(const char16_t* path) { return RemoveDirectoryW(wide(path)) != 0; }

namespace {

// The listing's attributes are the entry's own, as GetFileAttributesW reads them: a link's,
// never its target's.
void copy_entry(const WIN32_FIND_DATAW& data, char16_t* name, FileKind* kind) {
  static_assert(sizeof data.cFileName / sizeof data.cFileName[0] == find_name_capacity);
  for (std::uint32_t i = 0; i < find_name_capacity; ++i) name[i] = static_cast<char16_t>(data.cFileName[i]);
  *kind = kind_of(data.dwFileAttributes);
}

}  // namespace

Handle find_first_file(const char16_t* pattern, char16_t* name, FileKind* kind) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(wide(pattern), &data);
  if (search != INVALID_HANDLE_VALUE) copy_entry(data, name, kind);
  return search;
}

bool find_next_file(Handle search, char16_t* name, FileKind* kind) {
  WIN32_FIND_DATAW data;
  if (!FindNextFileW(search, &data)) return false;
  copy_entry(data, name, kind);
  return true;
}

void find_close(Handle search) { FindClose(search); }

std::uint32_t full_path_name(const char16_t* path, std::uint32_t capacity, char16_t* out) {
  return GetFullPathNameW(wide(path), capacity, wide(out), nullptr);
}

}  // namespace os
