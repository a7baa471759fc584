// The attached data of a launcher with one empty file, x.txt: the header, one record marked
// last, and no stream, which an empty file does not need.
#include <cstdint>

[[gnu::used, gnu::section(".zamrik")]] const std::uint8_t one_file_block[] = {
    24, 0, 0, 0, 0, 0, 0, 0,                       // table size
    0,  0, 0, 0, 0, 0, 0, 0,                       // stream size
    4,  0, 0, 0,                                   // flags: the last record
    0,  0, 0, 0, 0, 0, 0, 0,                       // size
    'x', 0, '.', 0, 't', 0, 'x', 0, 't', 0, 0, 0,  // path and terminator
};
