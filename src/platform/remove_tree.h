#pragma once

namespace platform {

// Removes a file, or a directory with everything below it, without following links. True
// when nothing that this call should have removed is left.
bool remove_tree(const char16_t* path);

}  // namespace platform
