// A POSIX handle carries a descriptor one higher than itself, so that descriptor 0 is a handle
// like any other and a failed open's -1 becomes the null handle.
#pragma once

#include <cstdint>

#include "os/os.h"

namespace os::posix {

inline Handle handle_of(int descriptor) { return reinterpret_cast<Handle>(static_cast<std::intptr_t>(descriptor) + 1); }
inline int descriptor_of(Handle handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle) - 1); }

}  // namespace os::posix
