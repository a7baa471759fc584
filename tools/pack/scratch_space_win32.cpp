#include <windows.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <io.h>

#include "host_files.h"
#include "pack_error.h"
#include "scratch_space.h"

namespace pack {
namespace fs = std::filesystem;
namespace {

// The console's control handler runs on a thread of its own: it marks the open partial file for
// deletion (it goes when the process ends and the handle closes) and lets the default handler
// end the process.
std::mutex mutex;
HANDLE open_file = INVALID_HANDLE_VALUE;
const fs::path* watched = nullptr;

BOOL WINAPI on_console_event(DWORD) {
  const std::lock_guard<std::mutex> lock(mutex);
  if (open_file != INVALID_HANDLE_VALUE) {
    FILE_DISPOSITION_INFO dispose{TRUE};
    SetFileInformationByHandle(open_file, FileDispositionInfo, &dispose, sizeof dispose);
  } else if (watched && !watched->empty()) {
    DeleteFileW(watched->c_str());
  }
  return FALSE;
}

}  // namespace

// The writer keeps its file open for reading and writing, so asking for it unshared fails while
// the writer runs.
bool remove_if_abandoned(const fs::path& partial) {
  const HANDLE file = CreateFileW(partial.c_str(), DELETE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILE_DISPOSITION_INFO dispose{TRUE};
  const bool removed = SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose) != 0;
  CloseHandle(file);
  return removed;
}

ScratchSpace::ScratchSpace(const fs::path& output) : output_(output) {
  remove_abandoned_partials(output);
  const fs::path folder = output.has_parent_path() ? output.parent_path() : fs::path(".");
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_FILE_EXISTS;
  fs::path partial;
  for (unsigned attempt = 0; file == INVALID_HANDLE_VALUE && error == ERROR_FILE_EXISTS && attempt < 100; ++attempt) {
    partial = folder / (L"." + output.filename().native() + L".partial-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                        std::to_wstring(GetTickCount64() + attempt));
    file = CreateFileW(partial.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    error = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  }
  if (file == INVALID_HANDLE_VALUE) {
    const std::string reason = last_error_text();
    throw InputError(utf8_of(folder) + ": cannot write here: " + reason);
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
  if (fd < 0) {
    CloseHandle(file);
    DeleteFileW(partial.c_str());
    throw ToolError(utf8_of(partial) + ": cannot open a descriptor: " + std::strerror(errno));
  }
  const std::lock_guard<std::mutex> lock(mutex);
  partial_ = partial;
  open_stream(fd);
  open_file = file;
  watched = &partial_;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

ScratchSpace::~ScratchSpace() {
  SetConsoleCtrlHandler(on_console_event, FALSE);
  const std::lock_guard<std::mutex> lock(mutex);
  open_file = INVALID_HANDLE_VALUE;
  watched = nullptr;
  try {
    close_stream();
  } catch (const std::exception&) {
    // The file goes anyway.
  }
  if (!partial_.empty()) DeleteFileW(partial_.c_str());
}

void ScratchSpace::commit(const fs::path& output) {
  const std::lock_guard<std::mutex> lock(mutex);
  open_file = INVALID_HANDLE_VALUE;
  close_stream();
  if (!MoveFileExW(partial_.c_str(), output.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    const std::string reason = last_error_text();
    throw InputError(utf8_of(output) + ": cannot put the executable in place: " + reason);
  }
  partial_.clear();
}

}  // namespace pack
