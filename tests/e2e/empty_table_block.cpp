// The attached data of a launcher whose entry table is empty: a header of zeros and nothing else.
#include <cstdint>

[[gnu::used, gnu::section(".zamrik")]] const std::uint8_t empty_table_block[16] = {};
