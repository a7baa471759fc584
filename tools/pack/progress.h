// What the packer tells a person while it works: a progress bar on a terminal, and one line of
// summary at the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace pack {

// "512 B", "12.3 KiB", "1.50 GiB".
std::string format_size(std::uint64_t bytes);

class ProgressBar {
 public:
  // Draws only when enabled; the caller decides (a terminal, and not quiet).
  ProgressBar(bool enabled, std::FILE* out, std::string label);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // Redraws at most ten times a second, and always for the last step.
  void update(std::uint64_t done, std::uint64_t total);
  // Clears the bar so that the next line starts on a clean line.
  void finish();

 private:
  bool enabled_;
  bool drawn_ = false;
  std::FILE* out_;
  std::string label_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace pack
