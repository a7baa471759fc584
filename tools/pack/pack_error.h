// The packer's failures, by who has to act. The user: an input that cannot be used (InputError),
// or a wrong command line (UsageError, which also points to --help); exit status 1. The tool or
// the system beneath it: a write that fails, a disk that fills, a launcher image of its own that
// is not as the build makes it (ToolError); exit status 2. Each message names the file it is
// about, through utf8_of, and the system's reason where the system gave one.
#pragma once

#include <stdexcept>

namespace pack {

class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class UsageError : public InputError {
 public:
  using InputError::InputError;
};

class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace pack
