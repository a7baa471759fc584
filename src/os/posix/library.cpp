#include <dlfcn.h>

#include "os/os.h"
#include "os/posix/text.h"

namespace os {

// The dynamic loader has no per-process search list to change: it never looks in the current
// directory unless told to, and a library's own directory is reached through its run path.
void remove_current_directory_from_library_search() {}
void add_library_directory(const char16_t*) {}

Handle load_library(const char16_t* path) { return ::dlopen(posix::native_path(path).c_str(), RTLD_NOW | RTLD_LOCAL); }

// Shared objects have no ordinals: the entry is exported under this fixed name instead.
MainLibraryEntry main_library_entry(Handle module) {
  return reinterpret_cast<MainLibraryEntry>(::dlsym(module, "zamrik_main_library_entry"));
}

}  // namespace os
