// A helper that the test application starts to do, from outside the launcher, what a user or
// another program might do to a running application:
//   terminate-parent CODE          end the process that started this one, with CODE
//   link-into-unpack-directory DIR  in the one unpack directory below the temporary directory,
//                                  make a directory link to DIR
//   remove-unix-link LINK          under Wine, remove a link that link-into-unpack-directory made
// It reports on standard output ("key=value" lines) and exits with 0 when it did its part.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "os/win32/windows_api.h"
// After windows.h, which it needs.
#include <tlhelp32.h>

namespace {

DWORD parent_process_id() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  DWORD parent = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId()) parent = entry.th32ParentProcessID;
  }
  CloseHandle(snapshot);
  return parent;
}

int terminate_parent(DWORD code) {
  HANDLE parent = OpenProcess(PROCESS_TERMINATE, FALSE, parent_process_id());
  if (parent == nullptr || !TerminateProcess(parent, code)) {
    std::printf("terminated=0 error=%lu\n", GetLastError());
    return 1;
  }
  std::printf("terminated=1\n");
  return 0;
}

std::wstring only_unpack_directory() {
  wchar_t temp[MAX_PATH + 1];
  const std::wstring base(temp, GetTempPathW(MAX_PATH + 1, temp));
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((base + L"onefile_*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return {};
  std::wstring directory = base + found.cFileName;
  if (FindNextFileW(search, &found)) directory.clear();  // more than one: not ours to pick
  FindClose(search);
  return directory;
}

// Wine's CreateSymbolicLinkW reports success and makes nothing, and it has no reparse points of its
// own; it shows a Unix symbolic link as a directory reparse point. So under Wine the link is made
// as a Unix one, with the symlink system call (88) straight to the Linux kernel.
using UnixName = char* (*)(const wchar_t*);

UnixName wine_unix_name() {
  return reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
}

bool make_unix_link(const std::wstring& link, const std::wstring& target) {
  const UnixName unix_name = wine_unix_name();
  if (unix_name == nullptr) return false;
  char* unix_target = unix_name(target.c_str());
  // The link does not exist yet: name its folder, then append the last component.
  const std::size_t separator = link.rfind(L'\\');
  char* unix_folder = unix_name(link.substr(0, separator).c_str());
  if (unix_target == nullptr || unix_folder == nullptr) return false;
  const std::wstring last = link.substr(separator + 1);
  const std::string unix_link = std::string(unix_folder) + "/" + std::string(last.begin(), last.end());
  long result = 0;
  asm volatile("syscall" : "=a"(result) : "a"(88L), "D"(unix_target), "S"(unix_link.c_str()) : "rcx", "r11", "memory");
  HeapFree(GetProcessHeap(), 0, unix_target);
  HeapFree(GetProcessHeap(), 0, unix_folder);
  return result == 0;
}

// Wine's RemoveDirectoryW works on a Unix link's target, so such a link is removed with the
// unlink system call (87).
int remove_unix_link(const std::wstring& link) {
  const UnixName unix_name = wine_unix_name();
  char* path = unix_name != nullptr ? unix_name(link.c_str()) : nullptr;
  if (path == nullptr) return 1;
  long result = 0;
  asm volatile("syscall" : "=a"(result) : "a"(87L), "D"(path) : "rcx", "r11", "memory");
  HeapFree(GetProcessHeap(), 0, path);
  return result == 0 ? 0 : 1;
}

bool is_directory_link(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int link_into_unpack_directory(const std::wstring& outside) {
  const std::wstring directory = only_unpack_directory();
  if (directory.empty()) {
    std::printf("links=no-unpack-directory\n");
    return 1;
  }
  const std::wstring link = directory + L"\\outside_link";
  const DWORD unprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  CreateSymbolicLinkW(link.c_str(), outside.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | unprivileged);
  if (is_directory_link(link)) {
    std::printf("links=windows\n");
  } else if (make_unix_link(link, outside) && is_directory_link(link)) {
    std::printf("links=unix\n");
  } else {
    std::printf("links=none error=%lu\n", GetLastError());
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);  // "\n" alone, as the test application writes
  const std::wstring mode = argc >= 2 ? argv[1] : L"";
  int result = 2;
  if (mode == L"terminate-parent" && argc == 3) {
    result = terminate_parent(std::wcstoul(argv[2], nullptr, 0));
  } else if (mode == L"link-into-unpack-directory" && argc == 3) {
    result = link_into_unpack_directory(argv[2]);
  } else if (mode == L"remove-unix-link" && argc == 3) {
    result = remove_unix_link(argv[2]);
  } else {
    std::printf("usage=fault_helper terminate-parent CODE | link-into-unpack-directory DIR | remove-unix-link LINK\n");
  }
  std::fflush(stdout);
  return result;
}
