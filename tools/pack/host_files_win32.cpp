#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "text/wide_text.h"
#include "host_files.h"

namespace pack {

// The C run-time's folder listing and some file calls stop at 260 characters, while the
// same calls take 32,767 behind the "\\?\" prefix. So a path whose full form is long gets that
// prefix; a shorter one stays as typed, so that messages show it so.
std::filesystem::path path_from_utf8(const std::string& text) {
  std::filesystem::path path(std::u8string(text.begin(), text.end()));
  if (path.empty()) return path;
  std::error_code error;
  const std::wstring full = std::filesystem::absolute(path, error).lexically_normal().native();
  if (error || full.size() < 240 || full.starts_with(L"\\\\?\\")) return path;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::string utf8_of(const std::filesystem::path& path) {
  const std::wstring& native = path.native();
  return text::to_utf8_replacing(std::u16string(native.begin(), native.end()));
}

std::string last_error_text() {
  wchar_t* text = nullptr;
  const DWORD error = GetLastError();
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                 reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = text ? text : L"error " + std::to_wstring(error);
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.')) message.pop_back();
  return utf8_of(std::filesystem::path(message));
}

void forget_last_error() {
  SetLastError(0);
  errno = 0;
}
// The run-time library's errno hides the system's code, which comes first. A write that the
// system cut short without a code ran out of room: the library takes it so when nothing at all
// was written, and calls it EINVAL under Wine when part of it was. A seek counts too: it first
// writes out what the buffer holds, and the packer seeks only to places within its file.
std::string reason_just_seen() {
  if (GetLastError() != 0) return last_error_text();
  if (errno == 0 || errno == EINVAL || errno == ENOSPC) {
    SetLastError(ERROR_DISK_FULL);
    return last_error_text();
  }
  return std::strerror(errno);
}

// The system's final path, in its "\\?\" form: every path compared with it is made the same way.
std::filesystem::path canonical_path(const std::filesystem::path& path, std::error_code& error) {
  error.clear();
  const HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
    return {};
  }
  // Asked with no room, the call tells the length with the terminator.
  const DWORD needed = GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED);
  std::wstring final(needed, L'\0');
  const DWORD length = needed == 0 ? 0 : GetFinalPathNameByHandleW(handle, final.data(), needed, FILE_NAME_NORMALIZED);
  CloseHandle(handle);
  if (length != 0 && length < needed) {
    final.resize(length);
    return final;
  }
  // Wine answers no final path past 260 characters: the full path, in the same form, then.
  const std::wstring full = std::filesystem::absolute(path, error).lexically_normal().native();
  if (error) return {};
  if (full.starts_with(L"\\\\?\\")) return full;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// The system's own listing: the C run-time's (which std::filesystem uses here) stops at 260
// characters under Wine.
std::vector<std::filesystem::path> list_folder(const std::filesystem::path& folder, std::error_code& error) {
  error.clear();
  std::vector<std::filesystem::path> children;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileExW((folder / L"*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
    return children;
  }
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") children.push_back(folder / name);
  } while (FindNextFileW(search, &found));
  if (GetLastError() != ERROR_NO_MORE_FILES) error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
  FindClose(search);
  return children;
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
