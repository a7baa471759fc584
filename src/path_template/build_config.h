// The strings that {COMPANY}, {PRODUCT}, {VERSION}, {FILE_VERSION} and {PRODUCT_VERSION} expand
// to: company, product and version, back to back, each ended by a 0 unit. They live in a section
// of their own that the launcher image keeps last, so that the packer can rewrite them at any
// length for each application without moving anything else. build_config.cpp holds the build's
// defaults.
#pragma once

inline constexpr char identity_section_name[] = ".zamid";

extern "C" {
extern const char16_t zamrik_identity[];
}

namespace path_template {

enum class IdentityString { company, product, version };

const char16_t* identity_string(IdentityString which);

}  // namespace path_template
