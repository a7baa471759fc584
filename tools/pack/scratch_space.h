// The executable is written under a hidden name beside its final place and renamed only once it
// is complete, so a failed build never leaves a half-written file under that name. On an
// interruption (Ctrl+C, a closed console or terminal, a termination request) the partial file
// goes too, at once: waiting for the build to notice would take as long as the compression job
// under way, which cannot be stopped midway. One build runs at a time in a process.
// A build killed outright (SIGKILL, Task Manager) can remove nothing, so each build first removes
// the partial files of its output whose writer is gone: on Linux the writer holds its file
// locked, on Windows open, and a file that nobody holds is left over.
#pragma once

#include <ext/stdio_filebuf.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

namespace pack {

// A file buffer that keeps the system's reason for its first failed write, seek or close: the
// stream above it keeps only that something failed.
class ReasonKeepingBuffer : public __gnu_cxx::stdio_filebuf<char> {
 public:
  using __gnu_cxx::stdio_filebuf<char>::stdio_filebuf;
  // The system's reason for the first failure; "" while nothing has failed.
  const std::string& failure() const { return failure_; }
  bool close_keeping_reason();

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;
  pos_type seekoff(off_type offset, std::ios::seekdir direction, std::ios::openmode mode) override;
  pos_type seekpos(pos_type position, std::ios::openmode mode) override;

 private:
  void note();
  std::string failure_;
};

class ScratchSpace {
 public:
  // Removes the left-over partial files of output, then creates its own beside output; throws
  // InputError when that folder takes no file.
  explicit ScratchSpace(const std::filesystem::path& output);
  ~ScratchSpace();
  ScratchSpace(const ScratchSpace&) = delete;
  ScratchSpace& operator=(const ScratchSpace&) = delete;

  // The partial file, open for writing and reading back.
  std::iostream& stream() { return *stream_; }
  const std::filesystem::path& partial() const { return partial_; }
  // Why writing failed, as a message that names the output: for a failed stream().
  std::string write_failure() const;
  // Closes the partial file, gives it the usual permissions and renames it to output.
  void commit(const std::filesystem::path& output);

 private:
  void open_stream(int fd);
  void close_stream();

  std::filesystem::path output_;
  std::filesystem::path partial_;
  std::unique_ptr<ReasonKeepingBuffer> buffer_;
  std::unique_ptr<std::iostream> stream_;
};

// Removes the partial files of earlier builds of output whose writer is gone; any that cannot
// go stay, silently.
void remove_abandoned_partials(const std::filesystem::path& output);
// Removes a partial file that no build holds (one host file each); false when a build does.
bool remove_if_abandoned(const std::filesystem::path& partial);

}  // namespace pack
