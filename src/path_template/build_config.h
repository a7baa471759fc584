// Strings fixed when the launcher is linked: the company, product and version that {COMPANY},
// {PRODUCT}, {VERSION}, {FILE_VERSION} and {PRODUCT_VERSION} expand to. build_config.cpp holds
// the build's defaults in an object of its own; a launcher link that supplies its own
// definitions (the packer does, per application) takes the place of that object.
#pragma once

extern "C" {
extern const char16_t zamrik_company[];
extern const char16_t zamrik_product[];
extern const char16_t zamrik_version[];
}
