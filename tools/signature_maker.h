// Making one row of the signature table from samples of a variant: the input
// checked, two 20-byte windows chosen relative to the entry point, the row
// proved with the program's own matcher over the samples, a clean set and the
// sample maker's near misses, and printed in the form the table's source
// uses. The command make_signature is a thin main over make_row(); the host
// tests call it directly.
//
// Everything is tested on the simulated machine: files are given as bytes,
// loaded into it, and nothing on the real file system is written.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace signature_maker {

// A file given by its bytes; the label names it in messages.
struct named_data {
    std::string label;
    std::string data;
};

// A file of the clean set: its length is known before it is read, and only a
// file of a length the tested table accepts is read at all.
struct clean_file {
    std::string label;
    uint64_t size = 0;
    std::function<bool(std::string &data)> read;
};

struct request {
    std::string name;      // a row's name, in any letter case
    bool replace = false;  // redo a row that already has data or known values
    // A clean set with no PE file of the samples' size cannot show that the
    // windows are rare; it is refused unless this is set.
    bool accept_no_same_size = false;
    std::vector<named_data> samples;
    std::vector<clean_file> clean;
    // The table the row is made for (signature_count records and the end
    // record); the built-in table when null.
    const unsigned char *table = nullptr;
};

struct result {
    bool ok = false;
    std::string refusal;  // why no row was made, when !ok
    std::string line;     // the row, as one line of the table's source
    std::string record;   // the same row as a 108-byte record
    int row_index = -1;   // its place in the table (0-based)
    int32_t offset1 = 0, offset2 = 0;
    bool second_in_other_section = false;
    // The proof.
    int samples_found = 0;
    int clean_examined = 0;       // every file of the clean set
    int clean_read = 0;           // of a length the tested table accepts
    int clean_found = 0;
    int near_misses_tested = 0;
    int near_misses_found = 0;
    int window_pairs_refused = 0; // pairs dropped because a clean file holds both
    std::vector<std::string> notes;  // the report, one line each
};

result make_row(const request &req);

// The row of a name, matched without regard to letter case; -1 when no row
// has it, with the nearest name in suggestion.
int find_row(const unsigned char *table, const std::string &name, std::string &suggestion);

// What a row holds, in words: its patterns and size, its known values
// without patterns, or nothing but its name.
std::string row_contents(const unsigned char *table, int row);

// The command: its arguments (without the program's name), what it prints
// on standard output and on standard error, and its exit status (0 with a
// row or for --help and --list, 1 for every refusal, each one line).
int run_command(const std::vector<std::string> &args, std::string &out, std::string &err);

// The clean set under real folders, every regular file below each, sorted by
// path; links to folders are not followed. Files are only read. An empty
// vector and a message in error when a folder cannot be walked.
std::vector<clean_file> clean_files_under(const std::vector<std::string> &folders, std::string &error);

// Reads a real file whole; false when it cannot.
bool read_real_file(const std::string &path, std::string &data);

// The row's text as engine/signature_table.cpp writes a row.
std::string row_line(const std::string &name, int32_t offset1, const std::string &pattern1, int32_t offset2,
                     const std::string &pattern2, int32_t file_size);

}  // namespace signature_maker
