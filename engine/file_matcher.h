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

// The matcher over the built-in signature_table: 1 when a record matched
// during this call, else 0.
int file_matcher(const char *label, const char *path);

// Per-file scanner of scanner_list: file_matcher for a file whose directory
// listed listed_size bytes. A file of a listed size that no record's size
// rule accepts cannot match and is not opened; it is finished with as a file
// that was opened and failed the size tests. A candidate is opened and
// decided by its real length, as file_matcher does.
int file_matcher_listed(const char *label, const char *path, uint64_t listed_size);

// The same over any table of 108-byte records ended by an empty name.
int file_matcher_with_table(const unsigned char *table, const char *label, const char *path);
int file_matcher_listed_with_table(const unsigned char *table, const char *label, const char *path,
                                   uint64_t listed_size);

// Whether some record of the table accepts a file of this length.
bool table_accepts_size(const unsigned char *table, int64_t length);

// Maps an RVA of the file open as fd to a file offset through pe_layout.
uint32_t rva_to_file_offset(uint32_t rva, int fd);

// Reads the PE headers of the open file into pe_layout; 1 when valid.
int read_pe_layout(int fd);
