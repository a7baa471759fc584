// The application's identity: the company, product and version strings that its version
// resource carries and that {COMPANY}, {PRODUCT}, {VERSION}, {FILE_VERSION} and
// {PRODUCT_VERSION} expand to. The launcher reads them as UTF-16 strings, back to back, each
// ended by a 0 unit, from a section of their own that the launcher image keeps last, so that the
// packer can rewrite them at any length for each application without moving anything else.
// default_identity.cpp holds the build's own.
#pragma once

namespace identity {

// The launcher image's own strings. The packer always writes an application's own in their
// place, so no packed executable carries these. CMakeLists.txt reads these three lines, so each
// stays one plain literal.
inline constexpr char default_company[] = "Caldrevine";
inline constexpr char default_product[] = "Caldrevine";
inline constexpr char default_version[] = "1.22.4.0";

// The section that holds them; cmake/launcher-image.ld and default_identity.cpp spell it too.
inline constexpr char identity_section_name[] = ".zamid";

enum class IdentityString { company, product, version };

const char16_t* identity_string(IdentityString which);

}  // namespace identity

extern "C" {
extern const char16_t zamrik_identity[];
}
