// Replaces the launcher's endings for the fuzz targets. The targets link this object before the
// libraries, with multiple definitions allowed, so these definitions win over the ones in
// platform/diagnostics.cpp and os/*/console.cpp while everything else there stays the real code.
#include "fuzz/endings.h"

#include "os/os.h"
#include "platform/diagnostics.h"

namespace platform {

void fatal_exit(const char* message) { throw fuzz::Ending{fuzz::EndingKind::fatal_exit, message}; }
void fail_path_template_expansion(const char16_t*) { throw fuzz::Ending{fuzz::EndingKind::spec_expansion, {}}; }
void fail_open_for_writing(const char16_t*) { throw fuzz::Ending{fuzz::EndingKind::open_for_writing, {}}; }
void fail_with_system_error(const char* message, std::uint32_t) { throw fuzz::Ending{fuzz::EndingKind::system_error, message}; }
void abort_on_overflow() { throw fuzz::Ending{fuzz::EndingKind::overflow, {}}; }

}  // namespace platform

namespace os {

// append_bounded may have its call to abort_on_overflow inlined into this function's callers.
void abort_process() { throw fuzz::Ending{fuzz::EndingKind::abort, {}}; }

}  // namespace os
