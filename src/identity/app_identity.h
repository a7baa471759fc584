// The application's identity: the company, product and version strings that its version
// resource carries and that {COMPANY}, {PRODUCT}, {VERSION}, {FILE_VERSION} and
// {PRODUCT_VERSION} expand to. The launcher reads them as UTF-16 strings under the link names
// below. default_identity.cpp holds the build's own in an object of its own; a launcher link that
// supplies its own definitions (the packer does, per application) takes the place of that object.
#pragma once

namespace identity {

// The launcher kit's strings and the packer's when no option names others. CMakeLists.txt reads
// these three lines, so each stays one plain literal.
inline constexpr char default_company[] = "Caldrevine";
inline constexpr char default_product[] = "Caldrevine";
inline constexpr char default_version[] = "1.22.4.0";

inline constexpr char company_symbol[] = "zamrik_company";
inline constexpr char product_symbol[] = "zamrik_product";
inline constexpr char version_symbol[] = "zamrik_version";

}  // namespace identity

extern "C" {
extern const char16_t zamrik_company[];
extern const char16_t zamrik_product[];
extern const char16_t zamrik_version[];
}
