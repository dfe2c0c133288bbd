// Where the scan's per-file time goes under Wine: walks the same folder once
// per step, adding to plain enumeration one of the things the scan does for
// each entry, and prints the milliseconds of each walk:
//   enumerate  FindFirstFileA/FindNextFileA only
//   open       + _open, _filelength, _close of every file
//   peek       + three PeekMessageA calls per entry (the pump's calls)
//   status     + one SendMessageA to a dialog that sets a static control's text
//   all        all of the above
//
//   costs D:\\   (a folder ending in a backslash)
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {
enum : unsigned { do_open = 1, do_peek = 2, do_status = 4 };
const UINT show_message = WM_APP + 1;
HWND frame, status;
HBRUSH white;
char status_text[260];
long reads;

LRESULT CALLBACK frame_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case show_message:
        SetWindowTextA(status, status_text);
        return 0;
    case WM_CTLCOLORSTATIC:
        SetBkMode((HDC)wp, TRANSPARENT);
        return (LRESULT)white;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

void pump() {
    MSG msg;
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
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
        if (steps & do_peek) pump();
        if (steps & do_status) {
            std::strncpy(status_text, path.c_str(), sizeof status_text - 1);
            SendMessageA(frame, show_message, 0, 0);
        }
        if (steps & do_open) {
            int fd = _open(path.c_str(), _O_RDONLY | _O_BINARY);
            if (fd != -1) {
                if (_filelength(fd) < 0) ++reads;
                _close(fd);
            }
        }
        if (steps & do_peek) {
            pump();
            pump();
        }
    } while (FindNextFileA(h, &d));
    FindClose(h);
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
    for (int i = 0; i < 20; ++i) pump();

    const struct {
        const char *name;
        unsigned steps;
    } runs[] = {{"enumerate", 0}, {"open", do_open}, {"peek", do_peek}, {"status", do_status},
                {"all", do_open | do_peek | do_status}, {"enumerate", 0}};
    for (const auto &r : runs) {
        DWORD start = GetTickCount();
        long files = walk(root, r.steps);
        std::printf("STEP %s: %ld files, %lu ms\n", r.name, files, (unsigned long)(GetTickCount() - start));
        std::fflush(stdout);
    }
    DestroyWindow(frame);
    return 0;
}
