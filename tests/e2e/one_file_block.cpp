// The attached data of a launcher with one empty file, x.txt: the header, one record marked
// last, and no stream, which an empty file does not need.
#include "payload/linked_block.h"

extern "C" {
__attribute__((section(".zamrik"))) const std::uint8_t zamrik_attached_data[] = {
    24, 0, 0, 0, 0, 0, 0, 0,                      // table size
    0,  0, 0, 0, 0, 0, 0, 0,                      // stream size
    4,  0, 0, 0,                                  // flags: the last record
    0,  0, 0, 0, 0, 0, 0, 0,                      // size
    'x', 0, '.', 0, 't', 0, 'x', 0, 't', 0, 0, 0,  // path and terminator
};
const std::uint64_t zamrik_attached_data_length = sizeof zamrik_attached_data;
}
