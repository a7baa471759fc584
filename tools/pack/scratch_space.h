// The executable is written under a hidden name beside its final place and renamed only once it
// is complete, so a failed build never leaves a half-written file under that name. On an
// interruption (Ctrl+C, or the end of the session) the partial file goes too: waiting for the build
// to notice would take as long as the compression job under way, which cannot be stopped midway.
#pragma once

#include <filesystem>

namespace pack {

class ScratchSpace {
 public:
  // Creates the partial file beside output; throws InputError when that folder takes no file.
  explicit ScratchSpace(const std::filesystem::path& output);
  ~ScratchSpace();
  ScratchSpace(const ScratchSpace&) = delete;
  ScratchSpace& operator=(const ScratchSpace&) = delete;

  const std::filesystem::path& partial() const { return partial_; }
  // Gives the partial file the usual permissions and renames it to output.
  void commit(const std::filesystem::path& output);

 private:
  std::filesystem::path partial_;
};

}  // namespace pack
