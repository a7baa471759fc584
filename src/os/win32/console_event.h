// The console control codes in the launcher's terms, apart so that the Windows tests can check
// the translation itself.
#pragma once

#include <cstdint>
#include <optional>

#include "os/os.h"

namespace os::win32 {

// The event that a control code stands for; none for the codes that name no event (3 and 4
// are reserved), which never reach the launcher's handler.
std::optional<ConsoleEvent> console_event_of(std::uint32_t code);

}  // namespace os::win32
