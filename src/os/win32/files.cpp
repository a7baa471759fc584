#include "os/os.h"
#include "os/win32/windows_api.h"

namespace os {

using win32::wide;

CreateDirectoryResult create_directory(const char16_t* path) {
  if (CreateDirectoryW(wide(path), nullptr)) return CreateDirectoryResult::created;
  return GetLastError() == ERROR_ALREADY_EXISTS ? CreateDirectoryResult::already_exists : CreateDirectoryResult::failed;
}

Handle create_file_for_writing(const char16_t* path) {
  return CreateFileW(wide(path), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
}

bool write_file(Handle file, const void* data, std::uint32_t size) {
  DWORD written = 0;
  return WriteFile(file, data, size, &written, nullptr) != 0;
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

void close_handle(Handle handle) { CloseHandle(handle); }

FileKind file_kind(const char16_t* path) {
  const DWORD attributes = GetFileAttributesW(wide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::none;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return FileKind::file;
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? FileKind::directory_link : FileKind::directory;
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

void copy_name(const WIN32_FIND_DATAW& data, char16_t* name) {
  static_assert(sizeof data.cFileName / sizeof data.cFileName[0] == find_name_capacity);
  for (std::uint32_t i = 0; i < find_name_capacity; ++i) name[i] = static_cast<char16_t>(data.cFileName[i]);
}

}  // namespace

Handle find_first_file(const char16_t* pattern, char16_t* name) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(wide(pattern), &data);
  if (search != INVALID_HANDLE_VALUE) copy_name(data, name);
  return search;
}

bool find_next_file(Handle search, char16_t* name) {
  WIN32_FIND_DATAW data;
  if (!FindNextFileW(search, &data)) return false;
  copy_name(data, name);
  return true;
}

void find_close(Handle search) { FindClose(search); }

std::uint32_t full_path_name(const char16_t* path, std::uint32_t capacity, char16_t* out) {
  return GetFullPathNameW(wide(path), capacity, wide(out), nullptr);
}

}  // namespace os
