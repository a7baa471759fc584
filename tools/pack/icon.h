// The launcher's default icon group: ten images drawn here, so the build takes no image from
// elsewhere.
#pragma once

#include <string>

namespace pack {

// An .ico file holding ten PNG images, 16 to 256 pixels square.
std::string generated_icon();

}  // namespace pack
