// The build's own strings (the CMake cache variables ZAMRIK_COMPANY, ZAMRIK_PRODUCT and
// ZAMRIK_VERSION, by default those of app_identity.h), given as UTF-16 code units, each list
// ended by 0, in the identity section.
#include "identity/app_identity.h"

extern "C" __attribute__((section(".zamid"))) const char16_t zamrik_identity[] = {
    ZAMRIK_COMPANY_UNITS, ZAMRIK_PRODUCT_UNITS, ZAMRIK_VERSION_UNITS};
