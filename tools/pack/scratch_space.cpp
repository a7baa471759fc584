#include "scratch_space.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "host_files.h"
#include "pack_error.h"

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

// errno is cleared first so that a failure the system gave no reason for is not blamed on an
// older one.
void ReasonKeepingBuffer::note() {
  if (failure_ == 0) failure_ = errno != 0 ? errno : EIO;
}
ReasonKeepingBuffer::int_type ReasonKeepingBuffer::overflow(int_type c) {
  errno = 0;
  const int_type result = stdio_filebuf::overflow(c);
  if (traits_type::eq_int_type(result, traits_type::eof())) note();
  return result;
}
std::streamsize ReasonKeepingBuffer::xsputn(const char* s, std::streamsize n) {
  errno = 0;
  const std::streamsize result = stdio_filebuf::xsputn(s, n);
  if (result != n) note();
  return result;
}
int ReasonKeepingBuffer::sync() {
  errno = 0;
  const int result = stdio_filebuf::sync();
  if (result != 0) note();
  return result;
}
ReasonKeepingBuffer::pos_type ReasonKeepingBuffer::seekoff(off_type offset, std::ios::seekdir direction, std::ios::openmode mode) {
  errno = 0;
  const pos_type result = stdio_filebuf::seekoff(offset, direction, mode);
  if (result == pos_type(off_type(-1))) note();
  return result;
}
ReasonKeepingBuffer::pos_type ReasonKeepingBuffer::seekpos(pos_type position, std::ios::openmode mode) {
  errno = 0;
  const pos_type result = stdio_filebuf::seekpos(position, mode);
  if (result == pos_type(off_type(-1))) note();
  return result;
}
bool ReasonKeepingBuffer::close_keeping_reason() {
  errno = 0;
  if (close() != nullptr) return true;
  note();
  return false;
}

std::string ScratchSpace::write_failure() const {
  const int failure = buffer_ && buffer_->failure() != 0 ? buffer_->failure() : EIO;
  return utf8_of(output_) + ": cannot write the executable: " + std::strerror(failure);
}

void ScratchSpace::open_stream(int fd) {
  buffer_ = std::make_unique<ReasonKeepingBuffer>(fd, std::ios::in | std::ios::out | std::ios::binary, 1 << 16);
  stream_ = std::make_unique<std::iostream>(buffer_.get());
}

// The buffer closes the descriptor (and on Windows the handle beneath it).
void ScratchSpace::close_stream() {
  if (!buffer_) return;
  const bool written = stream_->flush() && buffer_->close_keeping_reason();
  if (!written) {
    const std::string message = write_failure();
    stream_.reset();
    buffer_.reset();
    throw ToolError(message);
  }
  stream_.reset();
  buffer_.reset();
}

}  // namespace pack
