// A POSIX file handle is the descriptor itself, so the failed open's -1 is invalid_handle.
#pragma once

#include <cstdint>

#include "os/os.h"

namespace os::posix {

inline Handle handle_of(int descriptor) { return reinterpret_cast<Handle>(static_cast<std::intptr_t>(descriptor)); }
inline int descriptor_of(Handle handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)); }

}  // namespace os::posix
