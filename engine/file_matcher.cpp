// The file matcher and its PE header reading.
#include "engine/file_matcher.h"

#include <cstdint>
#include <cstring>

#include "engine/byte_reader.h"
#include "engine/disposition.h"
#include "engine/pe_layout.h"
#include "engine/scan_state.h"
#include "engine/signature_table.h"
#include "repair/autorun_cleanup.h"

pe_layout_t pe_layout;

namespace {

enum : int { max_sections = 20 };

uint16_t number_of_sections() { return read_le16(pe_layout.file_header + pe::number_of_sections); }

// Whether a file of this length passes the size test of the record.
bool size_passes(const unsigned char *record, int64_t length) {
    int32_t size = read_le32(record + record_file_size);
    switch (read_le32(record + record_size_rule)) {
    case 1:
        return length == size;
    case 2: {
        int64_t diff = (int64_t)size - (int64_t)length;
        return diff > -size_tolerance && diff < size_tolerance;
    }
    case 3:
        return true;
    default:
        return false;
    }
}

bool window_matches(int fd, uint32_t entry_rva, const unsigned char *record, int offset_at,
                    int pattern_at) {
    uint32_t rva = entry_rva + (uint32_t)read_le32(record + offset_at);
    unsigned char window[pattern_size];
    if (!read_exactly_at(fd, rva_to_file_offset(rva, fd), window, pattern_size)) return false;
    return std::memcmp(window, record + pattern_at, pattern_size) == 0;
}

void copy_path(char *dst, unsigned size, const char *path) {
    std::strncpy(dst, path, size - 1);
    dst[size - 1] = 0;
}

}  // namespace

int read_pe_layout(int fd) {
    std::memset(pe_layout.file_header, 0, sizeof pe_layout.file_header);
    pe_layout.header_offset = 0;
    unsigned char two[2];
    if (!read_exactly_at(fd, pe::header_offset_field, two, 2)) return 0;
    pe_layout.header_offset = read_le16(two);
    uint32_t at = pe_layout.header_offset;
    unsigned char signature[pe::signature_size];
    if (!read_exactly_at(fd, at, signature, pe::signature_size) || std::memcmp(signature, "PE\0\0", 4) != 0) return 0;
    if (!read_exactly_at(fd, at + pe::file_header_at, pe_layout.file_header, sizeof pe_layout.file_header)) return 0;
    if (!read_exactly_at(fd, at + pe::optional_header_at, pe_layout.optional_header, sizeof pe_layout.optional_header))
        return 0;
    uint16_t count = number_of_sections();
    if (count > max_sections) return 0;
    std::memset(pe_layout.sections, 0, sizeof pe_layout.sections);
    if (count && !read_exactly_at(fd, at + pe::section_table_at, pe_layout.sections, (unsigned)count * pe::section_header_size))
        return 0;
    return 1;
}

uint32_t rva_to_file_offset(uint32_t rva, int fd) {
    uint16_t count = number_of_sections();
    if (count > max_sections) count = max_sections;
    // The first section whose virtual range ends beyond the RVA holds it.
    const unsigned char *chosen = nullptr;
    for (uint16_t i = 0; i < count && !chosen; ++i) {
        const unsigned char *s = pe_layout.sections + i * pe::section_header_size;
        uint32_t end = (uint32_t)read_le32(s + pe::section_virtual_address) +
                       (uint32_t)read_le32(s + pe::section_virtual_size);
        if (end > rva) chosen = s;
    }
    // Fallback 1: an RVA beyond every section is taken as in the last one.
    if (!chosen && count) chosen = pe_layout.sections + (count - 1) * pe::section_header_size;
    // Fallback 2: with no sections at all the RVA is the file offset.
    uint32_t offset = rva;
    if (chosen)
        offset = rva + (uint32_t)read_le32(chosen + pe::section_pointer_to_raw_data) -
                 (uint32_t)read_le32(chosen + pe::section_virtual_address);
    // Fallback 3: an offset at or past the end of the file falls back to the
    // RVA itself (the window read there then fails or misses).
    long length = os::_filelength(fd);
    if (length < 0 || offset >= (uint32_t)length) offset = rva;
    // Fallback 4: offset 0 would read the DOS header; the end of the headers
    // is taken instead.
    if (offset == 0) return (uint32_t)read_le32(pe_layout.optional_header + pe::size_of_headers);
    return offset;
}

bool table_accepts_size(const unsigned char *table, int64_t length) {
    if (length < 0) return false;
    for (const unsigned char *r = table; r[record_name]; r += record_size)
        if (size_passes(r, length)) return true;
    return false;
}

int file_matcher(const char *label, const char *path) {
    return file_matcher_with_table(signature_table, label, path);
}

int file_matcher_listed(const char *label, const char *path, uint64_t listed_size) {
    return file_matcher_listed_with_table(signature_table, label, path, listed_size);
}

static int match_file(const unsigned char *table, const char *label, const char *path,
                      const uint64_t *listed_size);

int file_matcher_with_table(const unsigned char *table, const char *label, const char *path) {
    return match_file(table, label, path, nullptr);
}

int file_matcher_listed_with_table(const unsigned char *table, const char *label, const char *path,
                                   uint64_t listed_size) {
    return match_file(table, label, path, &listed_size);
}

// The matcher; listed_size, when given, is the size the directory listed.
static int match_file(const unsigned char *table, const char *label, const char *path,
                      const uint64_t *listed_size) {
    if (scan_state.memory_choice && scan_state.report_window)
        return memory_retest_disposition(label, path);

    if (scan_state.files_infected == 0) {
        std::memset(scan_state.removed_value_name, 0, sizeof scan_state.removed_value_name);
        std::memset(scan_state.removed_value_data, 0, sizeof scan_state.removed_value_data);
    }

    // A listed size that no record accepts: no open, and the file is left as
    // an opened file that failed the size tests would leave it.
    if (listed_size && (*listed_size > (uint64_t)INT64_MAX || !table_accepts_size(table, (int64_t)*listed_size))) {
        std::memset(scan_state.file_under_test, 0, sizeof scan_state.file_under_test);
        return 0;
    }

    int fd = os::_open(path, _O_RDONLY | _O_BINARY);
    if (fd == -1) return 0;
    std::memset(scan_state.file_under_test, 0, sizeof scan_state.file_under_test);
    copy_path(scan_state.file_under_test, sizeof scan_state.file_under_test, path);

    int hit = 0;
    long length = os::_filelength(fd);
    // A length that no record accepts cannot be a hit: the headers are not read.
    if (table_accepts_size(table, length) && read_pe_layout(fd)) {
        uint32_t entry_rva = (uint32_t)read_le32(pe_layout.optional_header + pe::address_of_entry_point);
        for (const unsigned char *r = table; r[record_name]; r += record_size) {
            if (!size_passes(r, length)) continue;
            if (!window_matches(fd, entry_rva, r, record_offset1, record_pattern1)) continue;
            if (!window_matches(fd, entry_rva, r, record_offset2, record_pattern2)) continue;

            char name[record_name_size + 1];
            std::memcpy(name, r + record_name, record_name_size);
            name[record_name_size] = 0;
            os::_close(fd);
            fd = -1;
            // The memory scan counts a file when it reports it. A file it left
            // in place (its deletion at restart scheduled, or nothing more to
            // try) is neither counted nor disposed of again; one it deleted
            // that stands again has been written anew, a new find. One a
            // detect-only memory scan reported found is left alone the same way.
            if (!scan_state.memory_phase) {
                disposition_outcome earlier = memory_scan_outcome(path);
                if (earlier == outcome_scheduled || earlier == outcome_left || earlier == outcome_found) {
                    hit = 1;
                    break;
                }
                ++scan_state.files_infected;
            }
            autorun_cleanup(name);
            copy_path(scan_state.detection_name, sizeof scan_state.detection_name, name);
            copy_path(scan_state.status_text, sizeof scan_state.status_text, path);
            if (scan_state.memory_phase) {
                scan_state.match_pending = 1;
                return 1;
            }
            hit = 1;
            infected_file_disposition(path, name);
            break;
        }
    }
    std::memset(scan_state.file_under_test, 0, sizeof scan_state.file_under_test);
    if (fd != -1) os::_close(fd);
    return hit;
}
