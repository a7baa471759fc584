// The packer's failures, by who has to act: the user (a wrong command line or unusable input,
// exit status 1) or the tool itself (anything else, exit status 2).
#pragma once

#include <stdexcept>
#include <string>

namespace pack {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace pack
