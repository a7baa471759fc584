// The build's own strings (the CMake cache variables ZAMRIK_COMPANY, ZAMRIK_PRODUCT and
// ZAMRIK_VERSION, by default those of app_identity.h), given as UTF-16 code units.
#include "identity/app_identity.h"

extern "C" const char16_t zamrik_company[] = {ZAMRIK_COMPANY_UNITS};
extern "C" const char16_t zamrik_product[] = {ZAMRIK_PRODUCT_UNITS};
extern "C" const char16_t zamrik_version[] = {ZAMRIK_VERSION_UNITS};
