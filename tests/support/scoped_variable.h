// Changes an environment variable of the process for one scope and puts the old state back.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "os/os.h"

namespace test_support {

inline std::optional<std::u16string> process_variable(const std::u16string& name) {
  std::vector<char16_t> buffer(32768);
  const std::uint32_t length = os::get_environment_variable(name.c_str(), buffer.data(), 32768);
  if (length == 0 || length >= 32768) return std::nullopt;
  return std::u16string(buffer.data(), length);
}

class ScopedVariable {
 public:
  // A null value removes the variable for the scope.
  ScopedVariable(std::u16string name, const char16_t* value) : name_(std::move(name)), old_(process_variable(name_)) {
    os::set_environment_variable(name_.c_str(), value);
  }
  ~ScopedVariable() { os::set_environment_variable(name_.c_str(), old_ ? old_->c_str() : nullptr); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  std::u16string name_;
  std::optional<std::u16string> old_;
};

}  // namespace test_support
