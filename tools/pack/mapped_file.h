// A whole file mapped read-only, so that a launcher of several hundred megabytes is read in
// place, as the launcher itself reads its block.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

namespace pack {

class MappedFile {
 public:
  // Throws InputError naming the file when it cannot be opened or mapped.
  explicit MappedFile(const std::filesystem::path& path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace pack
