// Where the scan's per-file time goes under Wine: walks the same folder once
// per step, adding to plain enumeration what the scan does for each entry,
// each way it has been done, and prints the milliseconds of each walk:
//   enumerate        FindFirstFileA/FindNextFileA only
//   list-twice       + a second listing of every folder (as a walk that
//                      lists each folder once for its files, once for its
//                      subfolders)
//   open-all         + _open, _filelength, _close of every file
//   open-candidates  + the same only for a file whose listed size some record
//                      of the signature table accepts
//   peek-all         + three PeekMessageA calls per entry
//   peek-idle        + three calls per entry of the walker's message_pump,
//                      which looks at an empty queue once per pump_idle_ms
//   status-all       + one SendMessageA per entry to a dialog whose handler
//                      sets a static control's text
//   status-frame     + the same message, whose handler sets the text at most
//                      once per 16 ms (a timer sets a text left waiting)
//   all-before       open-all + peek-all + status-all
//   all-after        open-candidates + peek-idle + status-frame
//
//   costs D:\\ [step...]   (a folder ending in a backslash; only the steps
//                           named, when any are)
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/directory_walker.h"
#include "engine/file_matcher.h"
#include "engine/signature_table.h"

// The walker's pump asks this on Escape; nothing presses it here.
int ConfirmBox(const char *, const char *, UINT) { return IDNO; }

namespace {
enum : unsigned {
    do_open = 1,
    do_open_candidates = 2,
    do_peek = 4,
    do_pump = 8,
    do_status = 16,
    do_status_frame = 32,
    do_list_twice = 64,
};
const UINT show_message = WM_APP + 1;
const UINT_PTR frame_timer = 1;
const DWORD frame_ms = 16;
HWND frame, status;
HBRUSH white;
char status_text[260];
char waiting_text[260];
bool throttled, waiting, timer_armed;
DWORD set_at;
long opens;

void set_status(const char *text) {
    SetWindowTextA(status, text);
    set_at = GetTickCount();
    waiting = false;
}

LRESULT CALLBACK frame_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case show_message:
        if (!throttled) {
            SetWindowTextA(status, status_text);
            return 0;
        }
        std::memcpy(waiting_text, status_text, sizeof waiting_text);
        waiting = true;
        if (GetTickCount() - set_at >= frame_ms) set_status(waiting_text);
        else if (!timer_armed) timer_armed = SetTimer(hwnd, frame_timer, frame_ms, nullptr) != 0;
        return 0;
    case WM_TIMER:
        KillTimer(hwnd, frame_timer);
        timer_armed = false;
        if (waiting) set_status(waiting_text);
        return 0;
    case WM_CTLCOLORSTATIC:
        SetBkMode((HDC)wp, TRANSPARENT);
        return (LRESULT)white;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

void peek() {
    MSG msg;
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void pump(unsigned steps) {
    if (steps & do_peek) peek();
    if (steps & do_pump) message_pump();
}

long walk(const std::string &dir, unsigned steps) {
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA((dir + "*.*").c_str(), &d);
    if (h == INVALID_HANDLE_VALUE) return 0;
    long files = 0;
    do {
        if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (std::strcmp(d.cFileName, ".") && std::strcmp(d.cFileName, ".."))
                files += walk(dir + d.cFileName + "\\", steps);
            continue;
        }
        ++files;
        std::string path = dir + d.cFileName;
        pump(steps);
        if (steps & (do_status | do_status_frame)) {
            std::strncpy(status_text, path.c_str(), sizeof status_text - 1);
            SendMessageA(frame, show_message, 0, 0);
        }
        int64_t listed = (int64_t)((uint64_t)d.nFileSizeHigh << 32 | d.nFileSizeLow);
        if ((steps & do_open) || ((steps & do_open_candidates) && table_accepts_size(signature_table, listed))) {
            int fd = _open(path.c_str(), _O_RDONLY | _O_BINARY);
            if (fd != -1) {
                ++opens;
                _filelength(fd);
                _close(fd);
            }
        }
        pump(steps);
        pump(steps);
    } while (FindNextFileA(h, &d));
    FindClose(h);
    if (steps & do_list_twice) {
        h = FindFirstFileA((dir + "*.*").c_str(), &d);
        if (h != INVALID_HANDLE_VALUE) {
            while (FindNextFileA(h, &d)) {
            }
            FindClose(h);
        }
    }
    return files;
}
}  // namespace

int main(int argc, char **argv) {
    std::string root = argc > 1 ? argv[1] : "D:\\";
    white = (HBRUSH)GetStockObject(WHITE_BRUSH);
    WNDCLASSA wc = {};
    wc.lpfnWndProc = frame_proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hbrBackground = white;
    wc.lpszClassName = "costs_frame";
    RegisterClassA(&wc);
    frame = CreateWindowA("costs_frame", "costs", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 600, 200, nullptr, nullptr,
                          wc.hInstance, nullptr);
    status = CreateWindowA("STATIC", "", WS_CHILD | WS_VISIBLE | SS_LEFT, 10, 10, 560, 20, frame, nullptr,
                           wc.hInstance, nullptr);
    for (int i = 0; i < 20; ++i) peek();

    const struct {
        const char *name;
        unsigned steps;
    } runs[] = {
        {"enumerate", 0},
        {"list-twice", do_list_twice},
        {"open-all", do_open},
        {"open-candidates", do_open_candidates},
        {"peek-all", do_peek},
        {"peek-idle", do_pump},
        {"status-all", do_status},
        {"status-frame", do_status_frame},
        {"all-before", do_open | do_peek | do_status},
        {"all-after", do_open_candidates | do_pump | do_status_frame},
        {"enumerate", 0},
    };
    for (const auto &r : runs) {
        bool named = argc <= 2;
        for (int i = 2; i < argc; ++i) named = named || !std::strcmp(argv[i], r.name);
        if (!named) continue;
        throttled = (r.steps & do_status_frame) != 0;
        opens = 0;
        message_pump_reset();
        DWORD start = GetTickCount();
        long files = walk(root, r.steps);
        DWORD ms = GetTickCount() - start;
        for (int i = 0; i < 5; ++i) peek();
        std::printf("STEP %s: %ld files, %lu ms, %.1f us per file, %ld opens\n", r.name, files, (unsigned long)ms,
                    files ? ms * 1000.0 / files : 0.0, opens);
        std::fflush(stdout);
    }
    DestroyWindow(frame);
    return 0;
}
