#include "progress.h"

namespace pack {

std::string format_size(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 10 ? "%.2f %s" : value < 100 ? "%.1f %s" : "%.0f %s", value, units[unit]);
  return text;
}

ProgressBar::ProgressBar(bool enabled, std::FILE* out, std::string label)
    : enabled_(enabled), out_(out), label_(std::move(label)) {}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::update(std::uint64_t done, std::uint64_t total) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (done < total && now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  constexpr int width = 30;
  const double fraction = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
  const int filled = static_cast<int>(fraction * width);
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const std::string rate = seconds > 0 ? format_size(static_cast<std::uint64_t>(static_cast<double>(done) / seconds)) + "/s" : "";
  std::fprintf(out_, "\r%s [%s%s] %3d%% %s / %s  %s\x1b[K", label_.c_str(), std::string(filled, '#').c_str(),
               std::string(width - filled, '.').c_str(), static_cast<int>(fraction * 100), format_size(done).c_str(),
               format_size(total).c_str(), rate.c_str());
  std::fflush(out_);
  drawn_ = true;
}

void ProgressBar::finish() {
  if (!drawn_) return;
  std::fprintf(out_, "\r\x1b[K");
  std::fflush(out_);
  drawn_ = false;
}

}  // namespace pack
