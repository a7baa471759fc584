#include "scratch_space.h"

#include <stdexcept>

namespace pack {

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
