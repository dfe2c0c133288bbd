// The binary signature matcher: one file's PE headers read, then the records
// of a signature table tested in order; the first that passes names the
// detection, and the file is disposed of (or, in the memory phase, the hit
// is only recorded).
#pragma once
#include <cstdint>

// What the matcher reads of the file under test, kept as raw bytes and
// parsed at the PE/COFF offsets.
struct pe_layout_t {
    uint16_t header_offset;
    unsigned char file_header[20];       // IMAGE_FILE_HEADER
    unsigned char optional_header[96];   // first 96 bytes of IMAGE_OPTIONAL_HEADER32
    unsigned char sections[20 * 40];     // up to 20 IMAGE_SECTION_HEADERs
};
extern pe_layout_t pe_layout;

// Per-file scanner of scanner_list, over the built-in signature_table:
// 1 when a record matched during this call, else 0.
int file_matcher(const char *label, const char *path);

// The same over any table of 108-byte records ended by an empty name.
int file_matcher_with_table(const unsigned char *table, const char *label, const char *path);

// Maps an RVA of the file open as fd to a file offset through pe_layout.
uint32_t rva_to_file_offset(uint32_t rva, int fd);

// Reads the PE headers of the open file into pe_layout; 1 when valid.
int read_pe_layout(int fd);
