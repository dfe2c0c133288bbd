// The text signature scanner: a text file whose first five bytes are
// "begin" (a uuencoded text) is tested against the text signature table,
// with all whitespace removed from its first and last 4096 bytes, and
// deleted when a record matches (a detect-only scan reports it found, once).
//
// Record layout, 170 bytes packed (byte offsets):
//   0   name, 25 bytes        25  size, int32      29  offset, int16
//   31  length, uint16 (<=100; 0: inert)           33  window, int16 (0 head, 1 tail)
//   35  pattern, 100 bytes (stored scrambled in the built-in table)
//   135 mode, int16 (1: search anywhere; else compare at offset)
//   139 size rule, int16 (16: exact, 17: within 4096, else none)
//   137, 141, 143..169 reserved
#pragma once
#include <cstdint>

enum : int {
    text_record_size = 170,
    text_field_name = 0,
    text_field_size = 25,
    text_field_offset = 29,
    text_field_length = 31,
    text_field_window = 33,
    text_field_pattern = 35,
    text_field_mode = 135,
    text_field_size_rule = 139,
    text_window_size = 4096,
};

// The built-in table (scrambled until the first scan of a run).
extern unsigned char *const text_signature_table;
extern const int text_signature_count;
extern const unsigned char text_scramble_key;

// 1 when the file matched a record, whatever became of it; 0 otherwise.
int text_signature_scan(const char *path);

// The same over any table of count unscrambled records.
int text_signature_scan_with_table(const unsigned char *table, int count, const char *path);

// Copies count bytes leaving out space, tab, LF, VT, FF and CR; returns how
// many were kept.
int strip_whitespace(const unsigned char *source, unsigned char *destination, int count);

// Whether pattern's length bytes occur in the 4097-byte work area at a start
// below span.
int find_pattern(const unsigned char *area, int span, const unsigned char *pattern, int length);
