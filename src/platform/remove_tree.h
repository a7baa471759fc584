#pragma once

namespace platform {

// Removes a file, or a directory with everything below it, without following links. True
// when nothing that this call should have removed is left: a path counts as gone only when the
// system says that nothing has its name.
bool remove_tree(const char16_t* path);

}  // namespace platform
