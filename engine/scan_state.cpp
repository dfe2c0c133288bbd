// The scan state, app_title and the two report operations.
#include "engine/scan_state.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/path_text.h"

scan_state_t scan_state;

const char app_title[] = "Pellmark Ver 1.0";

void report(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(scan_state.report_line, sizeof scan_state.report_line, format, args);
    va_end(args);
    os::SendMessageA(scan_state.report_window, report_line_message, 0, 0);
}

void show_status(const char *text) {
    if (text != scan_state.status_text) {
        std::strncpy(scan_state.status_text, text, sizeof scan_state.status_text - 1);
        scan_state.status_text[sizeof scan_state.status_text - 1] = 0;
    }
    os::SendMessageA(scan_state.report_window, report_status_message, 0, 0);
}

namespace {
uint64_t found_mark(const char *place, const char *name) {
    std::string text = std::string(place) + '\n' + name;
    lower_text(&text[0]);
    // FNV-1a, 64 bits.
    uint64_t mark = 14695981039346656037ull;
    for (unsigned char c : text) mark = (mark ^ c) * 1099511628211ull;
    return mark;
}

bool mark_kept(uint64_t mark) {
    int32_t count = scan_state.found_mark_count;
    if (count > found_mark_limit) count = found_mark_limit;
    for (int32_t i = 0; i < count; ++i)
        if (scan_state.found_marks[i] == mark) return true;
    return false;
}
}  // namespace

int first_report_of(const char *place, const char *name) {
    uint64_t mark = found_mark(place, name);
    if (mark_kept(mark)) return 0;
    if (scan_state.found_mark_count < found_mark_limit) scan_state.found_marks[scan_state.found_mark_count++] = mark;
    return 1;
}

int reported_found(const char *place, const char *name) { return mark_kept(found_mark(place, name)); }

int copy_text(char *dst, unsigned dst_size, const char *src) {
    size_t n = std::strlen(src);
    if (n >= dst_size) {
        dst[0] = 0;
        return 0;
    }
    std::memcpy(dst, src, n + 1);
    return 1;
}

int append_text(char *dst, unsigned dst_size, const char *src) {
    size_t have = std::strlen(dst);
    size_t n = std::strlen(src);
    if (have + n >= dst_size) return 0;
    std::memcpy(dst + have, src, n + 1);
    return 1;
}
