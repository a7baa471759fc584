// The launcher image that the packer completes for each application (see pe_writer.h).
#pragma once

#include <cstdint>
#include <span>

namespace pack {

std::span<const std::uint8_t> embedded_launcher_image();

}  // namespace pack
