// One application's launcher, written into an open file: the embedded launcher image completed
// with the application's identity, its attached data and its resources.
#pragma once

#include <cstdint>
#include <iostream>
#include <functional>
#include <ostream>
#include <vector>

#include "launcher_identity.h"
#include "pe_image.h"
#include "resources.h"

namespace pack {

// write_block writes the attached data at the stream's position and returns its size. Throws
// InputError for text or a size that the executable cannot hold.
void write_launcher(std::iostream& file, const LauncherIdentity& identity, Subsystem subsystem,
                    const std::function<std::uint64_t(std::ostream&)>& write_block);

}  // namespace pack
