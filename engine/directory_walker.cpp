// The directory walker, its message pump and the status-line shortening.
//
// Each directory is listed once. Its files are scanned in listing order; the
// subdirectories met on the way wait on a bounded stack of names and are
// walked afterwards, depth first, in the order they were met. Between those
// walks the pump is called once for every entry of the listing, as a second
// listing of the directory would have it called. A directory whose names do
// not fit what is left of the stack, whose listing failed or broke off, or
// whose pattern names only some of its entries, is listed a second time for
// its subdirectories instead. In the memory phase the pattern is one file,
// tested alone.
//
// The waiting names are those of the one listing: a subdirectory that
// appears in the directory while its files are scanned is not walked, and one
// that disappears is skipped like any directory that cannot be listed. The
// scan itself changes files only, never which subdirectories there are.
//
// Each file goes to the scanners with the size its directory listed, so that
// a file no record can match is never opened. An entry whose path (or
// subdirectory pattern) would not fit a 260-byte buffer is skipped: it is
// neither shown, counted, scanned nor walked.
#include "engine/directory_walker.h"

#include <cstring>

#include "engine/file_matcher.h"
#include "engine/path_text.h"
#include "engine/platform_facts.h"
#include "engine/scan_state.h"

const scanner_entry scanner_list[] = {
    {"W32/Quelby.Trojan ", file_matcher_listed},
    {nullptr, nullptr},
};

void shorten_path(const char *src, char *dst, int16_t width) {
    int half = width / 2 - 1;
    size_t len = std::strlen(src);
    if (len > (size_t)(width > 0 ? width : 0) && half > 0) {
        int dots = width - 2 * half;
        std::memcpy(dst, src, (size_t)half);
        std::memset(dst + half, '.', (size_t)dots);
        std::memcpy(dst + half + dots, src + len - half, (size_t)half);
        dst[width] = 0;
    } else {
        std::memmove(dst, src, len + 1);
    }
}

// What the pump's last look found: whether the queue was empty, and when.
static bool last_look_empty = false;
static DWORD last_look_at = 0;
// Performance-counter counts per millisecond; -1 before the first call, 0
// when the machine has no such counter.
static int64_t counts_per_ms = -1;

void message_pump_reset() { last_look_empty = false; }

bool precise_clock_ms(DWORD *now) {
    if (counts_per_ms < 0) {
        LARGE_INTEGER frequency;
        counts_per_ms = os::QueryPerformanceFrequency(&frequency) ? frequency.QuadPart / 1000 : 0;
    }
    LARGE_INTEGER count;
    if (counts_per_ms <= 0 || !os::QueryPerformanceCounter(&count)) return false;
    *now = (DWORD)(count.QuadPart / counts_per_ms);
    return true;
}

void message_pump() {
    // Each look costs a round trip to the window system; an empty queue is
    // looked at again only after pump_idle_ms (unsigned difference: the
    // clock wraps). Without a clock every call looks.
    DWORD now = 0;
    bool timed = precise_clock_ms(&now);
    if (timed && last_look_empty && now - last_look_at < pump_idle_ms) return;
    MSG msg;
    if (!os::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        last_look_empty = timed;
        last_look_at = now;
        return;
    }
    last_look_empty = false;
    // Only a press of Esc asks: its release (which follows the answer when
    // the box was closed with Esc) and other messages that merely carry 27
    // go their normal way. The key's auto-repeat (bit 30 of lParam: the key
    // was already down) is dropped, so that a held key asks once.
    if ((msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN) && LOWORD(msg.wParam) == VK_ESCAPE) {
        if (msg.lParam & 0x40000000) return;
        if (ConfirmBox("Terminate the Scan now?", app_title, MB_YESNO | MB_ICONQUESTION) == IDNO)
            return;
        scan_state.scan_terminated = 1;
        return;
    }
    if (msg.message == WM_QUIT || msg.message == WM_DESTROY) {
        scan_state.scan_terminated = 1;
        return;
    }
    os::TranslateMessage(&msg);
    os::DispatchMessageA(&msg);
}

// Puts the string end on the character before the last "." of buf (turning
// "C:\dir\*.*" into "C:\dir\"); returns 0 when buf has no ".".
static int cut_before_last_dot(char *buf) {
    char *dot = std::strrchr(buf, '.');
    if (!dot) return 0;
    if (dot > buf) dot[-1] = 0;
    else dot[0] = 0;
    return 1;
}

static void show_entry(const char *path) {
    char source[512];
    char shortened[512];
    std::memset(source, 0, sizeof source);
    std::memset(shortened, 0, sizeof shortened);
    std::strcpy(source, path);
    shorten_path(source, shortened, 60);
    show_status(shortened);
}

static void program_files_probe(const char *pattern) {
    if (std::strlen(pattern) > 6) return;
    std::strcpy(scan_state.program_files_pattern, pattern);
    char *colon = std::strchr(scan_state.program_files_pattern, ':');
    if (!colon) return;
    colon[1] = 0;
    std::strcat(scan_state.program_files_pattern, "\\Program Files");
    if (os::_access(scan_state.program_files_pattern, 0) == 0) {
        scan_state.program_files_found = 1;
        std::strcat(scan_state.program_files_pattern, "\\*.*");
    }
}

// The stack of subdirectories waiting to be walked, shared by every level of
// the walk: a directory's records lie above those of its parents and are
// dropped when its walk returns. A record is the entry's position in the
// listing (4 bytes, in the machine's order) followed by its name and string
// end.
static char waiting_names[subfolder_stack_bytes];
static unsigned waiting_top = 0;

// Pushes one subdirectory; 0 when it does not fit.
static int push_waiting(uint32_t position, const char *name) {
    size_t size = sizeof position + std::strlen(name) + 1;
    if (size > sizeof waiting_names - waiting_top) return 0;
    std::memcpy(waiting_names + waiting_top, &position, sizeof position);
    std::memcpy(waiting_names + waiting_top + sizeof position, name, size - sizeof position);
    waiting_top += (unsigned)size;
    return 1;
}

// Builds the pattern of subdirectory name below the directory of
// walk_pattern into sub_pattern: 1 when it fits, 0 when it does not (or
// the folder is walked under another name), -1
// when walk_pattern has no ".".
static int subdirectory_pattern(char *sub_pattern, const char *walk_pattern, const char *name) {
    std::strcpy(sub_pattern, walk_pattern);
    if (!cut_before_last_dot(sub_pattern)) return -1;
    // Under WOW64 a folder whose name reaches the 32-bit system folder is
    // walked there, under its own name.
    return append_text(sub_pattern, 260, name) && !redirected_elsewhere(sub_pattern, true) &&
           append_text(sub_pattern, 260, "\\*.*");
}

// Walks one subdirectory of the directory of walk_pattern; -1 when the walk
// must end every enclosing walk.
static int32_t walk_subdirectory(const char *walk_pattern, const char *name) {
    char sub_pattern[260];
    int built = subdirectory_pattern(sub_pattern, walk_pattern, name);
    if (built <= 0) return built;
    if (find_text(sub_pattern, "\\Program Files\\")) scan_state.program_files_entered = 1;
    return directory_walker(sub_pattern) == -1 ? -1 : 0;
}

static int32_t walk_directory(const char *pattern);

int32_t directory_walker(const char *pattern) {
    unsigned base = waiting_top;
    int32_t result = walk_directory(pattern);
    waiting_top = base;
    return result;
}

static int32_t walk_directory(const char *pattern) {
    char walk_pattern[260];
    char entry_path[260];
    char dirs_pattern[260];
    char sub_pattern[260];
    WIN32_FIND_DATAA found;

    scan_state.match_pending = 0;
    if (!copy_text(walk_pattern, sizeof walk_pattern, pattern)) return scan_state.files_scanned;
    program_files_probe(walk_pattern);

    // A process already ended for being infected is reported, counted and
    // its file disposed of whatever stops meanwhile: the re-test is not
    // stopped before it has run.
    bool retest = scan_state.memory_phase && scan_state.memory_choice;

    // The pattern for subdirectories: the walk pattern with "*" after its
    // last "." (for a pattern ending in "*.*", the same pattern).
    std::strcpy(dirs_pattern, walk_pattern);
    char *dot = std::strrchr(dirs_pattern, '.');
    if (dot) dot[1] = 0;
    bool dirs_fit = append_text(dirs_pattern, sizeof dirs_pattern, "*") != 0;
    // Whether this one listing also serves for the subdirectories; it stops
    // serving when a name does not fit the stack or the listing breaks off.
    bool one_listing = !scan_state.memory_phase && dirs_fit && !std::strcmp(dirs_pattern, walk_pattern);
    unsigned first_waiting = waiting_top;
    uint32_t listed = 0;

    // File pass
    HANDLE find = os::FindFirstFileA(walk_pattern, &found);
    if (find == INVALID_HANDLE_VALUE) {
        one_listing = false;
    } else {
        do {
            ++listed;
            message_pump();
            if (scan_state.scan_terminated && !retest) {
                os::FindClose(find);
                return 0;
            }
            std::strcpy(entry_path, walk_pattern);
            if (!scan_state.memory_phase) {
                if (!cut_before_last_dot(entry_path)) {
                    os::FindClose(find);
                    return -1;
                }
                if (!append_text(entry_path, sizeof entry_path, found.cFileName)) continue;
            }
            show_entry(entry_path);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (one_listing && std::strcmp(found.cFileName, ".") && std::strcmp(found.cFileName, "..") &&
                    subdirectory_pattern(sub_pattern, walk_pattern, found.cFileName) > 0 &&
                    !push_waiting(listed - 1, found.cFileName)) {
                    one_listing = false;
                    waiting_top = first_waiting;
                }
            } else if (scan_state.memory_phase || !redirected_elsewhere(entry_path, false)) {
                // Under WOW64 a file whose name reaches the 32-bit system
                // folder is found there, under its own name.
                if (!scan_state.memory_phase) ++scan_state.files_scanned;
                uint64_t listed_size = (uint64_t)found.nFileSizeHigh << 32 | found.nFileSizeLow;
                for (const scanner_entry *s = scanner_list; s->label; ++s)
                    if (s->scan(s->label, entry_path, listed_size)) break;
            }
            message_pump();
            if (scan_state.scan_terminated) {
                os::FindClose(find);
                return 0;
            }
        } while (os::FindNextFileA(find, &found));
        if (os::GetLastError() != ERROR_NO_MORE_FILES) one_listing = false;
        os::FindClose(find);
    }

    // The memory phase tests one file: it has no subdirectories to walk, and
    // a nested walk would clear the hit it has just recorded.
    if (scan_state.memory_phase) return scan_state.files_scanned;

    if (one_listing) {
        // Subdirectories met by the listing, one pump per entry listed.
        unsigned next = first_waiting;
        const unsigned end = waiting_top;
        uint32_t pumped = 0;
        while (next < end) {
            uint32_t position;
            std::memcpy(&position, waiting_names + next, sizeof position);
            const char *name = waiting_names + next + sizeof position;
            next += (unsigned)(sizeof position + std::strlen(name) + 1);
            for (; pumped <= position; ++pumped) {
                message_pump();
                if (scan_state.scan_terminated) return 0;
            }
            if (walk_subdirectory(walk_pattern, name) == -1) return -1;
        }
        for (; pumped < listed; ++pumped) {
            message_pump();
            if (scan_state.scan_terminated) return 0;
        }
        return scan_state.files_scanned;
    }
    waiting_top = first_waiting;

    // Subdirectory pass over a second listing
    if (!dirs_fit) return scan_state.files_scanned;
    find = os::FindFirstFileA(dirs_pattern, &found);
    if (find == INVALID_HANDLE_VALUE) return scan_state.files_scanned;
    do {
        message_pump();
        if (scan_state.scan_terminated) {
            os::FindClose(find);
            return 0;
        }
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        if (!std::strcmp(found.cFileName, ".") || !std::strcmp(found.cFileName, "..")) continue;
        if (walk_subdirectory(walk_pattern, found.cFileName) == -1) {
            os::FindClose(find);
            return -1;
        }
    } while (os::FindNextFileA(find, &found));
    os::FindClose(find);
    return scan_state.files_scanned;
}
