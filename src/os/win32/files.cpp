#include "os/os.h"
#include "os/win32/private_security.h"
#include "os/win32/system_functions.h"
#include "os/win32/windows_api.h"

// After windows.h, which it needs.
#include <winternl.h>

#include <new>

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
  if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return win32::null_on_failure(file);
  return win32::null_on_failure(CreateFileW(wide(path), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr));
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
  return win32::null_on_failure(CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
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

constexpr ULONG open_reparse_point = 0x00200000;  // FILE_OPEN_REPARSE_POINT
constexpr ULONG open_for_backup = 0x00004000;     // FILE_OPEN_FOR_BACKUP_INTENT
constexpr ULONG synchronous_io = 0x00000020;      // FILE_SYNCHRONOUS_IO_NONALERT
constexpr NTSTATUS name_not_found = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS path_not_found = static_cast<NTSTATUS>(0xC000003A);
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD directory_access = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;

// Opens name relative to the directory at, a link at its end as itself: the status.
NTSTATUS open_relative(HANDLE at, const char16_t* name, ACCESS_MASK access, HANDLE* handle) {
  // ntdll's: the one call that opens a name relative to a handle.
  const auto nt_open_file = win32::ntdll_functions().open_file;
  const auto status_to_error = win32::ntdll_functions().status_to_error;
  if (nt_open_file == nullptr) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return static_cast<NTSTATUS>(0xC0000002);  // STATUS_NOT_IMPLEMENTED
  }
  std::size_t length = 0;
  while (name[length] != u'\0') ++length;
  if (length * 2 > 0xFFFC) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return static_cast<NTSTATUS>(0xC0000106);  // STATUS_NAME_TOO_LONG
  }
  UNICODE_STRING text{static_cast<USHORT>(length * 2), static_cast<USHORT>(length * 2), const_cast<wchar_t*>(wide(name))};
  OBJECT_ATTRIBUTES attributes{};
  attributes.Length = sizeof attributes;
  attributes.RootDirectory = at;
  attributes.ObjectName = &text;
  attributes.Attributes = OBJ_CASE_INSENSITIVE;
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = nt_open_file(handle, access, &attributes, &io, share_all, open_reparse_point | open_for_backup | synchronous_io);
  if (status < 0 && status_to_error != nullptr) SetLastError(status_to_error(status));
  return status;
}

// The entries' attributes are their own, as GetFileAttributesW reads them: a link's, never its
// target's.
struct Listing {
  HANDLE directory = nullptr;
  bool owns_directory = false;  // opened by path for the listing, closed with it
  bool started = false;
  const FILE_ID_BOTH_DIR_INFO* next = nullptr;  // null: the buffer is used up
  alignas(8) unsigned char buffer[16384];
};

bool next_in(Listing& listing, char16_t* name, FileKind* kind) {
  if (listing.next == nullptr) {
    const FILE_INFO_BY_HANDLE_CLASS kind_of_read = listing.started ? FileIdBothDirectoryInfo : FileIdBothDirectoryRestartInfo;
    if (!GetFileInformationByHandleEx(listing.directory, kind_of_read, listing.buffer, sizeof listing.buffer)) return false;
    listing.started = true;
    listing.next = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(listing.buffer);
  }
  const FILE_ID_BOTH_DIR_INFO& entry = *listing.next;
  const std::size_t length = entry.FileNameLength / 2 < entry_name_capacity ? entry.FileNameLength / 2 : entry_name_capacity - 1;
  for (std::size_t i = 0; i < length; ++i) name[i] = static_cast<char16_t>(entry.FileName[i]);
  name[length] = u'\0';
  *kind = kind_of(entry.FileAttributes);
  listing.next = entry.NextEntryOffset == 0 ? nullptr
                                            : reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(
                                                  reinterpret_cast<const unsigned char*>(listing.next) + entry.NextEntryOffset);
  return true;
}

}  // namespace

Handle open_directory(Handle at, const char16_t* name, FileKind* kind) {
  HANDLE directory = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_SUCCESS;
  if (at == invalid_handle) {
    directory = CreateFileW(wide(name), directory_access, share_all, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    error = GetLastError();
    if (directory == INVALID_HANDLE_VALUE) {
      *kind = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileKind::none : FileKind::unreadable;
      return invalid_handle;
    }
  } else {
    const NTSTATUS status = open_relative(at, name, directory_access, &directory);
    if (status < 0) {
      *kind = status == name_not_found || status == path_not_found ? FileKind::none : FileKind::unreadable;
      return invalid_handle;
    }
  }
  // What the handle holds decides, not what a listing said of the name before.
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(directory, &information)) {
    error = GetLastError();
    CloseHandle(directory);
    SetLastError(error);
    *kind = FileKind::unreadable;
    return invalid_handle;
  }
  *kind = kind_of(information.dwFileAttributes);
  if (*kind == FileKind::directory) return directory;
  CloseHandle(directory);
  return invalid_handle;
}

void close_directory(Handle directory) { CloseHandle(directory); }

bool owned_by_current_user(Handle directory) { return win32::owned_by_process_user(directory); }

namespace {

void end_listing(Listing* listing) {
  if (listing->owns_directory) CloseHandle(listing->directory);
  delete listing;
}

Handle start_listing(HANDLE directory, bool owns_directory, char16_t* name, FileKind* kind) {
  auto* listing = new (std::nothrow) Listing;
  if (listing == nullptr) {
    if (owns_directory) CloseHandle(directory);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return invalid_handle;
  }
  listing->directory = directory;
  listing->owns_directory = owns_directory;
  if (!next_in(*listing, name, kind)) {
    const DWORD error = GetLastError();
    end_listing(listing);
    SetLastError(error);
    return invalid_handle;
  }
  return listing;
}

}  // namespace

Handle list_directory(const char16_t* path, char16_t* name, FileKind* kind) {
  HANDLE directory = CreateFileW(wide(path), FILE_LIST_DIRECTORY | SYNCHRONIZE, share_all, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (directory == INVALID_HANDLE_VALUE) return invalid_handle;
  return start_listing(directory, true, name, kind);
}

Handle list_open_directory(Handle directory, char16_t* name, FileKind* kind) { return start_listing(directory, false, name, kind); }

bool next_entry(Handle listing, char16_t* name, FileKind* kind) { return next_in(*static_cast<Listing*>(listing), name, kind); }

void close_listing(Handle listing) { end_listing(static_cast<Listing*>(listing)); }

bool remove_at(Handle directory, const char16_t* name) {
  HANDLE entry = INVALID_HANDLE_VALUE;
  const NTSTATUS status = open_relative(directory, name, DELETE | SYNCHRONIZE, &entry);
  if (status == name_not_found || status == path_not_found) return true;
  if (status < 0) return false;
  FILE_DISPOSITION_INFO disposition{TRUE};
  const bool removed = SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof disposition) != 0;
  const DWORD error = GetLastError();
  CloseHandle(entry);
  SetLastError(error);
  return removed;
}

std::uint32_t full_path_name(const char16_t* path, std::uint32_t capacity, char16_t* out) {
  return GetFullPathNameW(wide(path), capacity, wide(out), nullptr);
}

}  // namespace os
