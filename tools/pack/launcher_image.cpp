#include "launcher_image.h"

extern "C" {
extern const std::uint8_t zamrik_launcher_image[];
extern const std::uint8_t zamrik_launcher_image_end[];
}

namespace pack {

std::span<const std::uint8_t> embedded_launcher_image() { return {zamrik_launcher_image, zamrik_launcher_image_end}; }

}  // namespace pack
