// The launcher's own path in three cached forms, and the two canonicalisation steps.
#pragma once

#include <cstddef>

namespace platform {

inline constexpr std::size_t module_file_name_capacity = 4096;
inline constexpr std::size_t executable_path_capacity = 4097;

// Each form is asked of the system on its first request and then kept.
class ExecutablePath {
 public:
  // The module file name exactly as the system reports it; aborts when there is none.
  const char16_t* module_file_name();
  // The plain form (directory part shortened) or the canonical form (final path, prefixes
  // stripped, then the directory part shortened).
  const char16_t* executable_path(bool canonical);

 private:
  char16_t module_file_name_[module_file_name_capacity] = {};
  char16_t plain_path_[executable_path_capacity] = {};
  char16_t canonical_path_[executable_path_capacity] = {};
};

void resolve_final_path(char16_t* path, std::size_t capacity);
void shorten_directory_part(char16_t* path, std::size_t capacity);

}  // namespace platform
