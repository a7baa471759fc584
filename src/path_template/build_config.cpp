// The build's own strings (the CMake cache variables ZAMRIK_COMPANY, ZAMRIK_PRODUCT and
// ZAMRIK_VERSION), given as UTF-16 code units, each list ended by 0.
#include "path_template/build_config.h"

extern "C" __attribute__((section(".zamid"))) const char16_t zamrik_identity[] = {
    ZAMRIK_COMPANY_UNITS, ZAMRIK_PRODUCT_UNITS, ZAMRIK_VERSION_UNITS};
