#include "scratch_space.h"

#include <stdexcept>
#include <string>

namespace pack {

namespace fs = std::filesystem;

void remove_abandoned_partials(const fs::path& output) {
  const fs::path folder = output.has_parent_path() ? output.parent_path() : fs::path(".");
  const fs::path::string_type prefix = fs::path(".").native() + output.filename().native() + fs::path(".partial-").native();
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const fs::path::string_type name = it->path().filename().native();
    std::error_code ignored;
    if (name.size() > prefix.size() && name.starts_with(prefix) && fs::is_regular_file(it->symlink_status(ignored))) {
      remove_if_abandoned(it->path());
    }
  }
}

void ScratchSpace::open_stream(int fd) {
  buffer_ = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::in | std::ios::out | std::ios::binary, 1 << 16);
  stream_ = std::make_unique<std::iostream>(buffer_.get());
}

// The buffer closes the descriptor (and on Windows the handle beneath it).
void ScratchSpace::close_stream() {
  if (!buffer_) return;
  const bool written = stream_->flush() && buffer_->close() != nullptr;
  stream_.reset();
  buffer_.reset();
  if (!written) throw std::runtime_error(partial_.string() + ": writing the executable failed");
}

}  // namespace pack
