#include "os/os.h"
#include "os/win32/windows_api.h"

namespace os {

using win32::wide;

CreateDirectoryResult create_directory(const char16_t* path) {
  if (CreateDirectoryW(wide(path), nullptr)) return CreateDirectoryResult::created;
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

bool write_file(Handle file, const void* data, std::uint32_t size) {
  DWORD written = 0;
  return WriteFile(file, data, size, &written, nullptr) != 0;
}

void close_handle(Handle handle) { CloseHandle(handle); }

namespace {

FileKind kind_of(DWORD attributes) {
  if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::none;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return FileKind::file;
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? FileKind::directory_link : FileKind::directory;
}

}  // namespace

FileKind file_kind(const char16_t* path) { return kind_of(GetFileAttributesW(wide(path))); }

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
