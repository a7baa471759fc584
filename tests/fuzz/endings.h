// The launcher ends the process on bad input by design. Fuzz targets link against endings.cpp,
// which replaces those endings with a thrown Ending, so that one run can go on with the next
// input and a target can check which ending an input led to.
#pragma once

#include <string>

namespace fuzz {

enum class EndingKind {
  fatal_exit,        // message on standard output, status 2
  spec_expansion,    // spec-expansion message, then abort
  open_for_writing,  // "failed to open ... for writing", status 2
  system_error,      // a message with the system's error code and text, status 2
  overflow,          // a fixed buffer would overflow: abort without a message
  abort,             // any other abnormal termination through the OS layer
};

struct Ending {
  EndingKind kind;
  std::string message;  // the fatal_exit or system_error message; empty for the other kinds
};

}  // namespace fuzz
