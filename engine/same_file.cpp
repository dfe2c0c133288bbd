// Whether two paths name one file, asked of the file system by their short
// forms, and through the WOW64 redirection of the system folder.
#include "engine/same_file.h"

#include "engine/path_text.h"
#include "engine/platform_facts.h"
#include "platform/os.h"

bool full_path(const char *path) {
    return (path[0] && path[1] == ':' && path[2] == '\\') || (path[0] == '\\' && path[1] == '\\');
}

bool same_file(const char *a, const char *b) {
    if (same_text_nocase(a, b)) return true;
    // The short form of a relative path would be that of a file in the
    // program's current folder.
    if (!full_path(a) || !full_path(b)) return false;
    char short_a[260], short_b[260];
    DWORD na = os::GetShortPathNameA(a, short_a, sizeof short_a);
    if (na == 0 || na >= sizeof short_a) return false;
    DWORD nb = os::GetShortPathNameA(b, short_b, sizeof short_b);
    return nb != 0 && nb < sizeof short_b && same_text_nocase(short_a, short_b);
}

bool same_file_seen(const char *a, const char *b) {
    if (same_file(a, b)) return true;
    char ua[MAX_PATH], ub[MAX_PATH];
    return runs_under_wow64() && unredirected_path(a, ua, sizeof ua) && unredirected_path(b, ub, sizeof ub) &&
           (!same_text_nocase(a, ua) || !same_text_nocase(b, ub)) && same_file(ua, ub);
}
