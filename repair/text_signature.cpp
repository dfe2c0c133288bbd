// The text signature scanner and its one record.
//
// "W32/Nyxem.Worm": a hosts file that the worm left uuencoded ("begin 644
// hosts" ...) and whose entries send windowsupdate.microsoft.com to
// 127.0.0.1. The pattern is 40 bytes of the whitespace-free uuencoded text
// of its second line ("...ndowsupdate.microsoft.com" CR LF "127."), looked
// for anywhere in the head text; no size rule.
#include "repair/text_signature.h"

#include <cstring>

#include "engine/scan_state.h"
#include "engine/byte_reader.h"
#include "engine/path_text.h"
#include "repair/uninstall_entry.h"

namespace {

constexpr int hex_value(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

struct text_table_bytes {
    unsigned char b[text_record_size];
};

constexpr text_table_bytes make_record(const char *name, int32_t size, int16_t offset, uint16_t length,
                                       int16_t window, const char *scrambled_hex, int16_t mode,
                                       int16_t size_rule) {
    text_table_bytes t{};
    for (int i = 0; name[i]; ++i) t.b[text_field_name + i] = (unsigned char)name[i];
    for (int i = 0; i < 4; ++i) t.b[text_field_size + i] = (unsigned char)((uint32_t)size >> (8 * i));
    t.b[text_field_offset] = (unsigned char)offset;
    t.b[text_field_offset + 1] = (unsigned char)((uint16_t)offset >> 8);
    t.b[text_field_length] = (unsigned char)length;
    t.b[text_field_length + 1] = (unsigned char)(length >> 8);
    t.b[text_field_window] = (unsigned char)window;
    t.b[text_field_window + 1] = (unsigned char)((uint16_t)window >> 8);
    for (int i = 0; i < length; ++i)
        t.b[text_field_pattern + i] =
            (unsigned char)(hex_value(scrambled_hex[2 * i]) * 16 + hex_value(scrambled_hex[2 * i + 1]));
    t.b[text_field_mode] = (unsigned char)mode;
    t.b[text_field_mode + 1] = (unsigned char)((uint16_t)mode >> 8);
    t.b[text_field_size_rule] = (unsigned char)size_rule;
    t.b[text_field_size_rule + 1] = (unsigned char)((uint16_t)size_rule >> 8);
    return t;
}

// Pattern bytes XORed with text_scramble_key.
constexpr text_table_bytes nyxem = make_record(
    "W32/Nyxem.Worm", 0, 0, 40, 0,
    "611c6b15670d770f667c6b1b677c6e14616c1f19661c0709610c630e711c7715616a0e707669720d", 1, 0);

bool descrambled = false;

unsigned char head_text[text_window_size];
unsigned char tail_text[text_window_size];
int head_length, tail_length;
unsigned char work[text_window_size + 1];
char text_record_name[25];

int16_t le16s(const unsigned char *p) { return (int16_t)read_le16(p); }

// The gate, the two texts and the records; 1 on a hit.
int match(const unsigned char *table, int count, int fd) {
    long length = os::_filelength(fd);
    char gate[5];
    if (length < 0 || !read_exactly_at(fd, 0, gate, 5) || os::_strnicmp(gate, "begin", 5) != 0) return 0;
    int span;
    if (length >= text_window_size) {
        std::memset(work, 0, sizeof work);
        if (!read_exactly_at(fd, 0, work, text_window_size)) return 0;
        head_length = strip_whitespace(work, head_text, text_window_size);
        std::memset(work, 0, sizeof work);
        if (!read_exactly_at(fd, length - text_window_size, work, text_window_size)) return 0;
        tail_length = strip_whitespace(work, tail_text, text_window_size);
        span = text_window_size;
    } else {
        std::memset(work, 0, sizeof work);
        if (!read_exactly_at(fd, 0, work, (unsigned)length)) return 0;
        head_length = strip_whitespace(work, head_text, (int)length);
        std::memcpy(tail_text, head_text, (size_t)head_length);
        tail_length = head_length;
        span = (int)length;
    }
    for (int r = 0; r < count; ++r) {
        const unsigned char *rec = table + r * text_record_size;
        int pattern_length = read_le16(rec + text_field_length);
        if (pattern_length == 0 || pattern_length > 100 || length < pattern_length) continue;
        int32_t size = read_le32(rec + text_field_size);
        int16_t rule = le16s(rec + text_field_size_rule);
        if (rule == 16 && size != length) continue;
        if (rule == 17 && ((int64_t)size < (int64_t)length - 4096 || (int64_t)size > (int64_t)length + 4096))
            continue;
        int16_t window = le16s(rec + text_field_window);
        if (window != 0 && window != 1) continue;  // no other window exists
        const unsigned char *text = window == 0 ? head_text : tail_text;
        int text_length = window == 0 ? head_length : tail_length;
        const unsigned char *pattern = rec + text_field_pattern;
        bool hit;
        std::memset(work, 0, sizeof work);
        if (le16s(rec + text_field_mode) == 1) {
            std::memcpy(work, text, (size_t)text_length);
            hit = find_pattern(work, span, pattern, pattern_length) == 1;
        } else {
            int offset = le16s(rec + text_field_offset);
            int start = window == 0 ? offset : text_length - offset;
            if (start >= 0)
                for (int i = 0; i < 100 && start + i < text_length; ++i) work[i] = text[start + i];
            hit = std::memcmp(work, pattern, (size_t)pattern_length) == 0;
        }
        if (hit) {
            std::memcpy(text_record_name, rec + text_field_name, sizeof text_record_name);
            text_record_name[sizeof text_record_name - 1] = 0;
            return 1;
        }
    }
    return 0;
}

}  // namespace

namespace {
text_table_bytes table_storage = nyxem;  // de-scrambled in place once per run
}  // namespace

unsigned char *const text_signature_table = table_storage.b;
const int text_signature_count = 1;
const unsigned char text_scramble_key = 0x5A;

int strip_whitespace(const unsigned char *source, unsigned char *destination, int count) {
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        unsigned char c = source[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') continue;
        destination[kept++] = c;
    }
    return kept;
}

int find_pattern(const unsigned char *area, int span, const unsigned char *pattern, int length) {
    if (length <= 0) return 0;
    const unsigned char *at = area;
    const unsigned char *end = area + span;
    const unsigned char *area_end = area + text_window_size + 1;
    while (at < end) {
        const unsigned char *hit = (const unsigned char *)std::memchr(at, pattern[0], (size_t)(end - at));
        if (!hit) return 0;
        if (hit + length <= area_end && std::memcmp(hit, pattern, (size_t)length) == 0) return 1;
        at = hit + 1;
    }
    return 0;
}

namespace {
// The file is no longer one whose deletion failed.
void forget_left(const char *path) {
    if (same_text_nocase(scan_state.text_file_left, path)) scan_state.text_file_left[0] = 0;
}
}  // namespace

int text_signature_scan_with_table(const unsigned char *table, int count, const char *path) {
    int fd = os::_open(path, _O_RDONLY | _O_BINARY, 0x180);
    if (fd == -1) {
        if (scan_state.text_file_left[0] && os::_access(path, 0) != 0) forget_left(path);
        return 0;
    }
    int hit = match(table, count, fd);
    os::_close(fd);
    if (!hit) {
        forget_left(path);
        return 0;
    }
    // A detect-only scan reports the file found the first time only, as a
    // removal deletes it the first time.
    if (scan_state.detect_only && !first_report_of("", path)) return 1;
    ++scan_state.files_infected;
    copy_text(scan_state.detection_name, sizeof scan_state.detection_name, text_record_name);
    std::strncpy(scan_state.status_text, path, sizeof scan_state.status_text - 1);
    scan_state.status_text[sizeof scan_state.status_text - 1] = 0;
    if (scan_state.detect_only) {
        report("%s     %s found", path, text_record_name);
        uninstall_entry_cleanup();
    } else if (os::DeleteFileA(path)) {
        forget_left(path);
        ++scan_state.files_removed;
        uninstall_entry_cleanup();
        report("%s     %s removed", path, text_record_name);
    } else {
        copy_text(scan_state.text_file_left, sizeof scan_state.text_file_left, path);
        report("%s     %s Remove failed", path, text_record_name);
    }
    return 1;
}

int text_signature_scan(const char *path) {
    if (!descrambled) {
        descrambled = true;
        for (int r = 0; r < text_signature_count; ++r) {
            unsigned char *rec = text_signature_table + r * text_record_size;
            int length = read_le16(rec + text_field_length);
            for (int i = 0; i < length && i < 100; ++i) rec[text_field_pattern + i] ^= text_scramble_key;
        }
    }
    return text_signature_scan_with_table(text_signature_table, text_signature_count, path);
}
