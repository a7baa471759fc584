#include <windows.h>

#include <string>

#include "host_files.h"
#include "mapped_file.h"
#include "pack_error.h"

namespace pack {

MappedFile::MappedFile(const std::filesystem::path& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw InputError(utf8_of(path) + ": cannot open: " + last_error_text());
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(file);
    throw InputError(utf8_of(path) + ": not a regular file");
  }
  const std::uint64_t size = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
  size_ = static_cast<std::size_t>(size);
  if (size_ > 0) {
    const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    const std::string problem = view ? "" : last_error_text();
    if (mapping) CloseHandle(mapping);
    if (!view) {
      CloseHandle(file);
      throw InputError(utf8_of(path) + ": cannot map: " + problem);
    }
    data_ = static_cast<const std::uint8_t*>(view);
  }
  CloseHandle(file);
}

MappedFile::~MappedFile() {
  if (data_) UnmapViewOfFile(data_);
}

}  // namespace pack
