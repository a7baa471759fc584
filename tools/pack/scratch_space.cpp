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

// The reason is cleared before each call so that a failure the system gave no reason for is not
// blamed on an older one.
void ReasonKeepingBuffer::note() {
  if (failure_.empty()) failure_ = reason_just_seen();
  if (failure_.empty()) failure_ = std::strerror(EIO);
}
ReasonKeepingBuffer::int_type ReasonKeepingBuffer::overflow(int_type c) {
  forget_last_error();
  const int_type result = stdio_filebuf::overflow(c);
  if (traits_type::eq_int_type(result, traits_type::eof())) note();
  return result;
}
std::streamsize ReasonKeepingBuffer::xsputn(const char* s, std::streamsize n) {
  forget_last_error();
  const std::streamsize result = stdio_filebuf::xsputn(s, n);
  if (result != n) note();
  return result;
}
int ReasonKeepingBuffer::sync() {
  forget_last_error();
  const int result = stdio_filebuf::sync();
  if (result != 0) note();
  return result;
}
ReasonKeepingBuffer::pos_type ReasonKeepingBuffer::seekoff(off_type offset, std::ios::seekdir direction, std::ios::openmode mode) {
  forget_last_error();
  const pos_type result = stdio_filebuf::seekoff(offset, direction, mode);
  if (result == pos_type(off_type(-1))) note();
  return result;
}
ReasonKeepingBuffer::pos_type ReasonKeepingBuffer::seekpos(pos_type position, std::ios::openmode mode) {
  forget_last_error();
  const pos_type result = stdio_filebuf::seekpos(position, mode);
  if (result == pos_type(off_type(-1))) note();
  return result;
}
bool ReasonKeepingBuffer::close_keeping_reason() {
  forget_last_error();
  if (close() != nullptr) return true;
  note();
  return false;
}

std::string ScratchSpace::write_failure() const {
  const std::string failure = buffer_ && !buffer_->failure().empty() ? buffer_->failure() : std::strerror(EIO);
  return utf8_of(output_) + ": cannot write the executable: " + failure;
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
