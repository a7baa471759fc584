// The attached data of a launcher whose entry table is empty: a header of zeros and nothing else.
#include "payload/linked_attached_data.h"

extern "C" {
__attribute__((section(".zamrik"))) const std::uint8_t zamrik_attached_data[16] = {};
const std::uint64_t zamrik_attached_data_length = sizeof zamrik_attached_data;
}
