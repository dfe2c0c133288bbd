// The binary signature table: 117 packed 108-byte little-endian records in
// their fixed order, then an end record whose name is empty.
//
// Record layout (byte offsets):
//   0   name, 50 bytes, NUL-padded (empty name ends the table)
//   50  first offset, signed 32-bit, from the entry point in RVA space
//   54  first pattern, 20 compared bytes + 1 zero byte
//   75  second offset, signed 32-bit
//   79  second pattern, 20 + 1 bytes
//   100 file size, signed 32-bit
//   104 size_rule, signed 32-bit: 1 exact size, 2 within size_tolerance,
//       3 any size, anything else never matches
#pragma once
#include "engine/byte_reader.h"
#include <cstdint>

enum : int {
    record_size = 108,
    record_name = 0,
    record_name_size = 50,
    record_offset1 = 50,
    record_pattern1 = 54,
    record_offset2 = 75,
    record_pattern2 = 79,
    record_file_size = 100,
    record_size_rule = 104,
    pattern_size = 20,
    signature_count = 117,
    size_tolerance = 4096,
};

// signature_count records and the end record, built in at compile time.
extern const unsigned char *const signature_table;


// How many records carry signature data (both patterns).
int signature_rows_with_data();
