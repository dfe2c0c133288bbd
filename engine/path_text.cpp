// Paths as text in the system's ANSI code page: character-wise searches,
// case changes of single-byte letters, and the NT path forms.
#include "engine/path_text.h"

#include <cstring>

#include "platform/os.h"

namespace {

// The byte after the character at p (one or two bytes long).
const char *next_character(const char *p) {
    return os::IsDBCSLeadByte((BYTE)*p) && p[1] ? p + 2 : p + 1;
}

bool copy_into(char *out, size_t size, const char *a, const char *b) {
    size_t na = std::strlen(a), nb = std::strlen(b);
    if (na + nb + 1 > size) return false;
    std::memcpy(out, a, na);
    std::memcpy(out + na, b, nb + 1);
    return true;
}

}  // namespace

const char *last_backslash(const char *path) {
    const char *found = nullptr;
    for (const char *p = path; *p; p = next_character(p))
        if (*p == '\\') found = p;
    return found;
}

const char *file_name_part(const char *path) {
    const char *slash = last_backslash(path);
    return slash ? slash + 1 : path;
}

const char *find_text(const char *text, const char *needle) {
    size_t n = std::strlen(needle);
    for (const char *p = text; *p; p = next_character(p))
        if (std::strncmp(p, needle, n) == 0) return p;
    return n == 0 ? text : nullptr;
}

bool has_character(const char *text, char c) {
    for (const char *p = text; *p; p = next_character(p))
        if (*p == c) return true;
    return false;
}

char *lower_text(char *text) {
    for (char *p = text; *p; p = const_cast<char *>(next_character(p)))
        if (*p >= 'A' && *p <= 'Z') *p = (char)(*p - 'A' + 'a');
    return text;
}

char *upper_text(char *text) {
    for (char *p = text; *p; p = const_cast<char *>(next_character(p)))
        if (*p >= 'a' && *p <= 'z') *p = (char)(*p - 'a' + 'A');
    return text;
}

namespace {

char folded(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

// Whether a and b agree in their first limit bytes (or up to their common
// end), single-byte letters compared without regard to case and the bytes
// of double-byte characters exactly.
bool equal_nocase(const char *a, const char *b, size_t limit) {
    for (size_t i = 0; i < limit;) {
        if (os::IsDBCSLeadByte((BYTE)a[i]) && a[i + 1]) {
            if (a[i] != b[i] || (i + 1 < limit && a[i + 1] != b[i + 1])) return false;
            i += 2;
            continue;
        }
        if (folded(a[i]) != folded(b[i])) return false;
        if (!a[i]) return true;
        ++i;
    }
    return true;
}

}  // namespace

bool same_text_nocase(const char *a, const char *b) { return equal_nocase(a, b, (size_t)-1); }

bool begins_with_nocase(const char *text, const char *prefix) {
    return equal_nocase(text, prefix, std::strlen(prefix));
}

bool resolve_nt_path(const char *path, char *out, size_t size) {
    if (std::strncmp(path, "\\??\\", 4) == 0 || std::strncmp(path, "\\\\?\\", 4) == 0) {
        const char *rest = path + 4;
        if (begins_with_nocase(rest, "UNC\\")) return copy_into(out, size, "\\\\", rest + 4);
        return copy_into(out, size, "", rest);
    }
    if (begins_with_nocase(path, "\\SystemRoot\\")) {
        char windows[MAX_PATH];
        UINT length = os::GetWindowsDirectoryA(windows, sizeof windows);
        if (length == 0 || length >= sizeof windows) return false;
        return copy_into(out, size, windows, path + 11);
    }
    return copy_into(out, size, "", path);
}
