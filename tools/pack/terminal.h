#pragma once

namespace pack {

// Whether the standard error stream goes to a terminal (a console on Windows): only then is
// there a progress bar.
bool stderr_is_terminal();

}  // namespace pack
