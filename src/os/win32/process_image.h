// The image path of another process on systems without K32GetModuleFileNameExW (Vista, which
// the manifest names), apart so that the Windows tests can compare it with the usual answer.
#pragma once

#include <cstdint>

#include "os/os.h"

namespace os::win32 {

// As process_image_path, through QueryFullProcessImageNameW: 0 also when it does not fit.
std::uint32_t queried_image_path(Handle process, char16_t* buffer, std::uint32_t capacity);

}  // namespace os::win32
