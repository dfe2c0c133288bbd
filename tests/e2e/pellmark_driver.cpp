// Drives the running program from outside, as a user would: waits for its
// window, presses SCAN, answers the questions it asks as told, waits for the
// end of the scan, prints the results list and the status line, and presses
// OK. Screenshots are asked of the harness by writing request files beside
// the driver's own program file.
//
// --console ARGS runs the console program instead: pellscan.exe beside the
// driver is started with the command line "pellscan ARGS" in a process
// console the driver shares with it, once the programs to run are started
// and the files to hold are held; its standard output and error go to
// console.out and console.err beside the driver, and its exit code is
// printed as "EXIT: n". With --ctrl-c-at TEXT and --watch-log FILE, Ctrl+C
// is sent to the console once FILE (its log) holds TEXT. Then each program
// of --run is printed "RUNNING: path" or "ENDED: path", and ended.
//
//   pellmark_driver [--restart yes|no] [--memory ok|cancel] [--stop-at TEXT]
//                   [--stop-answer yes|no] [--shots] [--scanning-shot-at TEXT]
//                   [--no-scan] [--timeout S] [--reg "SUBKEY|NAME|DATA"]...
//                   [--plant-only | --watch] [--hold FILE]... [--run PROGRAM]...
//   pellmark_driver --console ARGS [--ctrl-c-at TEXT --watch-log FILE]
//                   [--hold FILE]... [--run PROGRAM]...
//
// --reg sets a text value under HKEY_LOCAL_MACHINE once the program's window
// is up: autorun values planted then are not started by the session.
// --watch presses nothing: a person scans; the results list and the status
// line are printed once the window has closed. The scanning shot is taken
// at the first file path of the drive walk shown after a result line (one
// that holds TEXT, when given).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char title[] = "Pellmark Ver 1.0";
bool shots = false;

struct started_program {
    std::string path;
    HANDLE process;
};
std::vector<started_program> started;

std::string wide_text(HWND hwnd) {
    wchar_t buf[1024] = {0};
    SendMessageW(hwnd, WM_GETTEXT, 1024, (LPARAM)buf);
    char out[2048] = {0};
    WideCharToMultiByte(CP_ACP, 0, buf, -1, out, sizeof out, nullptr, nullptr);
    return out;
}

std::vector<std::string> list_lines(HWND list) {
    std::vector<std::string> lines;
    int n = (int)SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (int i = 0; i < n; ++i) {
        int len = (int)SendMessageW(list, LB_GETTEXTLEN, i, 0);
        std::wstring w((size_t)(len > 0 ? len : 0) + 1, L'\0');
        SendMessageW(list, LB_GETTEXT, i, (LPARAM)&w[0]);
        char out[2048] = {0};
        WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, out, sizeof out, nullptr, nullptr);
        lines.push_back(out);
    }
    return lines;
}

// What shows of a window on the screen: its window rectangle cut to the box
// of its region when it has one.
RECT shown_rect(HWND w) {
    RECT frame = {0, 0, 0, 0}, box;
    GetWindowRect(w, &frame);
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    if (GetWindowRgn(w, region) != ERROR && GetRgnBox(region, &box) != NULLREGION) {
        OffsetRect(&box, frame.left, frame.top);
        IntersectRect(&frame, &frame, &box);
    }
    DeleteObject(region);
    return frame;
}

// Asks the harness for a screenshot of what shows of window w (its frame
// and title bar included where it has them) and waits until it is taken.
void screenshot(const char *name, HWND w, bool redraw = true) {
    if (!shots) return;
    if (redraw) {
        RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        Sleep(200);
    }
    char self[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (char *slash = std::strrchr(self, '\\')) slash[1] = 0;
    std::string request = std::string(self) + "shot-" + name + ".request";
    std::string done = std::string(self) + "shot-" + name + ".done";
    RECT r = shown_rect(w);
    FILE *f = std::fopen(request.c_str(), "w");
    if (f) {
        std::fprintf(f, "%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
        std::fclose(f);
    }
    for (int i = 0; i < 100 && GetFileAttributesA(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
}

// A screenshot of the window as it is at this moment, with the program's
// thread held still while it is taken (the scan would otherwise finish
// first). Nothing is redrawn: the display keeps what was drawn last.
void screenshot_frozen(const char *name, HWND w) {
    if (!shots) return;
    DWORD pid = 0, tid = GetWindowThreadProcessId(w, &pid);
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, tid);
    if (thread) SuspendThread(thread);
    screenshot(name, w, false);
    if (thread) {
        ResumeThread(thread);
        CloseHandle(thread);
    }
}

struct box_search {
    HWND main;
    DWORD pid;
    HWND found;
};

BOOL CALLBACK find_box(HWND hwnd, LPARAM lparam) {
    box_search *s = (box_search *)lparam;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    char cls[64] = {0};
    GetClassNameA(hwnd, cls, sizeof cls);
    if (pid == s->pid && hwnd != s->main && IsWindowVisible(hwnd) && std::strcmp(cls, "#32770") == 0) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND confirm_box(HWND main) {
    box_search s = {main, 0, nullptr};
    GetWindowThreadProcessId(main, &s.pid);
    EnumWindows(find_box, (LPARAM)&s);
    return s.found;
}

void press(HWND dialog, int id) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

std::string beside_self(const char *name) {
    char self[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (char *slash = std::strrchr(self, '\\')) slash[1] = 0;
    return std::string(self) + name;
}

// The whole of a file another program holds open for writing; empty when it
// cannot be read.
std::string file_text(const std::string &path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::string();
    std::string text;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n) text.append(buf, n);
    CloseHandle(h);
    return text;
}

BOOL WINAPI ignore_event(DWORD) { return TRUE; }

int run_console(const std::string &args, const std::string &break_at, const std::string &watch_log, int timeout) {
    // A console of the driver's own, which the program shares and Ctrl+C
    // is sent through: Wine gives a program started from a shell whose
    // output is not a terminal one that takes no control events.
    FreeConsole();
    if (!AllocConsole()) std::printf("DRIVER: no console (%lu)\n", GetLastError());
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileA(beside_self("console.out").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileA(beside_self("console.err").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi = {};
    std::string program = beside_self("pellscan.exe");
    std::string command = "pellscan" + (args.empty() ? std::string() : " " + args);
    // A handler, not the ignore flag, which the program would inherit.
    SetConsoleCtrlHandler(ignore_event, TRUE);
    if (!CreateProcessA(program.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &si, &pi)) {
        std::printf("DRIVER: cannot start %s (%lu)\n", program.c_str(), GetLastError());
        return 2;
    }
    CloseHandle(out);
    CloseHandle(err);
    CloseHandle(in);
    std::printf("DRIVER: started %s as %lu\n", command.c_str(), (unsigned long)pi.dwProcessId);
    std::fflush(stdout);
    DWORD start = GetTickCount();
    if (!break_at.empty()) {
        bool sent = false;
        while (!sent && WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT &&
               (int)((GetTickCount() - start) / 1000) < timeout) {
            if (file_text(watch_log).find(break_at) != std::string::npos) {
                sent = true;
                // To every process of the console (the driver's handler
                // ignores it): Wine 8 sends no Ctrl+Break, nor Ctrl+C to a
                // process group of its own.
                if (GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
                    std::printf("DRIVER: Ctrl+C sent\n");
                else
                    std::printf("DRIVER: Ctrl+C not sent (%lu)\n", GetLastError());
                std::fflush(stdout);
            }
            Sleep(5);
        }
        if (!sent) std::printf("DRIVER: the program ended before the log held \"%s\"\n", break_at.c_str());
    }
    DWORD left = (DWORD)timeout * 1000 - (GetTickCount() - start);
    if (WaitForSingleObject(pi.hProcess, (int)left > 0 ? left : 0) != WAIT_OBJECT_0) {
        std::printf("DRIVER: timed out\n");
        TerminateProcess(pi.hProcess, 99);
        return 3;
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    std::printf("EXIT: %lu\n", (unsigned long)code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    // What the run left of the programs started for it; those still
    // running are ended now, or the session would never end.
    for (const started_program &p : started) {
        bool running = WaitForSingleObject(p.process, 0) == WAIT_TIMEOUT;
        std::printf("%s: %s\n", running ? "RUNNING" : "ENDED", p.path.c_str());
        if (running) TerminateProcess(p.process, 0);
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string restart = "no", memory = "cancel", stop_at, stop_answer = "yes", scanning_at;
    std::string console_args, break_at, watch_log;
    bool console = false;
    bool scan = true, plant_only = false, watch = false;
    int timeout = 600;
    std::vector<std::string> values;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (a == "--restart") restart = next();
        else if (a == "--memory") memory = next();
        else if (a == "--stop-at") stop_at = next();
        else if (a == "--stop-answer") stop_answer = next();
        else if (a == "--shots") shots = true;
        else if (a == "--no-scan") scan = false;
        else if (a == "--timeout") timeout = std::atoi(next().c_str());
        else if (a == "--reg") values.push_back(next());
        else if (a == "--plant-only") plant_only = true;
        else if (a == "--watch") watch = true;
        else if (a == "--scanning-shot-at") scanning_at = next();
        else if (a == "--console") {
            console = true;
            console_args = next();
        } else if (a == "--ctrl-c-at") break_at = next();
        else if (a == "--watch-log") watch_log = next();
        else if (a == "--run") {
            STARTUPINFOA si = {};
            si.cb = sizeof si;
            PROCESS_INFORMATION pi = {};
            std::string program = next();
            if (CreateProcessA(program.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
                CloseHandle(pi.hThread);
                started.push_back({program, pi.hProcess});
                std::printf("DRIVER: started %s as %lu\n", program.c_str(), (unsigned long)pi.dwProcessId);
            } else {
                std::printf("DRIVER: cannot start %s (%lu)\n", program.c_str(), (unsigned long)GetLastError());
            }
        } else if (a == "--hold") {
            // Held open without delete sharing: the program cannot delete it.
            HANDLE h = CreateFileA(next().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            if (h == INVALID_HANDLE_VALUE) std::printf("DRIVER: cannot hold %s\n", argv[i]);
        }
    }
    if (console) return run_console(console_args, break_at, watch_log, timeout);
    HWND main = nullptr;
    for (int i = 0; i < 300 && !(main = FindWindowA(nullptr, title)); ++i) Sleep(100);
    if (!main) {
        std::printf("DRIVER: no window titled \"%s\"\n", title);
        return 2;
    }
    for (const std::string &v : values) {
        size_t a = v.find('|'), b = v.find('|', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        HKEY key;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, v.substr(0, a).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) == ERROR_SUCCESS) {
            std::string name = v.substr(a + 1, b - a - 1), data = v.substr(b + 1);
            RegSetValueExA(key, name.c_str(), 0, REG_SZ, (const BYTE *)data.c_str(), (DWORD)data.size() + 1);
            RegCloseKey(key);
        }
    }
    if (plant_only) return 0;
    if (watch) {
        // The lines as they stand when the scan has ended, read until the
        // window closes.
        HWND status = GetDlgItem(main, 1065), list = GetDlgItem(main, 1055), ok = GetDlgItem(main, 1070);
        std::vector<std::string> lines;
        std::string last_status;
        bool ended = false;
        while (IsWindow(main)) {
            std::string s = wide_text(status);
            if ((s == "Scanning completed" || s == "Scanning terminated") && IsWindowVisible(ok)) {
                lines = list_lines(list);
                last_status = s;
                ended = true;
            }
            Sleep(200);
        }
        if (!ended) {
            std::printf("DRIVER: the window closed before a scan ended\n");
            return 4;
        }
        for (const std::string &line : lines) std::printf("LINE: %s\n", line.c_str());
        std::printf("STATUS: %s\n", last_status.c_str());
        return 0;
    }
    Sleep(500);
    screenshot("introduction", main);
    if (!scan) {
        PostMessageA(main, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        return 0;
    }
    press(main, 1052);
    DWORD scan_start = GetTickCount(), scan_ms = 0;
    HWND status = GetDlgItem(main, 1065), list = GetDlgItem(main, 1055), ok = GetDlgItem(main, 1070);
    bool scanning_shot = false, stopped = false;
    DWORD start = GetTickCount();
    for (;;) {
        if (!IsWindow(main)) {
            std::printf("DRIVER: window gone\n");
            return 0;
        }
        if (HWND box = confirm_box(main)) {
            if (!GetDlgItem(box, 1086)) {
                // A system message box (the program's notices): read and close it.
                std::printf("NOTICE: %s | %s\n", wide_text(box).c_str(), wide_text(GetDlgItem(box, 0xFFFF)).c_str());
                std::fflush(stdout);
                press(box, IDOK);
                Sleep(300);
                continue;
            }
            std::string text = wide_text(GetDlgItem(box, 1086));
            std::string caption = wide_text(box);
            std::printf("QUESTION: %s | %s\n", caption.c_str(), text.c_str());
            std::fflush(stdout);
            screenshot(text.find("Terminate") != std::string::npos ? "confirm-stop"
                       : text.find("memory") != std::string::npos  ? "confirm-memory"
                                                                   : "confirm-restart",
                       box);
            if (text.find("Terminate") != std::string::npos) press(box, stop_answer == "yes" ? 6 : 7);
            else if (text.find("memory") != std::string::npos) press(box, memory == "ok" ? 1 : 2);
            else press(box, restart == "yes" ? 6 : 7);
            Sleep(300);
            continue;
        }
        std::string s = wide_text(status);
        // A file's path in the drive walk with a result line above it: what
        // the window shows for most of a scan.
        size_t last = s.rfind('\\');
        if (!scanning_shot && IsWindowVisible(status) && s.size() > 3 && s[1] == ':' && s[2] == '\\' &&
            s.find('.', last == std::string::npos ? 0 : last) != std::string::npos &&
            SendMessageW(list, LB_GETCOUNT, 0, 0) > 0 &&
            (scanning_at.empty() || s.find(scanning_at) != std::string::npos)) {
            scanning_shot = true;
            screenshot_frozen("scanning", main);
        }
        if (!stop_at.empty() && !stopped && s.find(stop_at) != std::string::npos) {
            stopped = true;
            press(main, 2);  // CANCEL: the question follows
        }
        if ((s == "Scanning completed" || s == "Scanning terminated") && IsWindowVisible(ok) &&
            !IsWindowVisible(GetDlgItem(main, 2))) {
            // The scan ended when this was first seen, not after the wait for a box.
            DWORD ended = GetTickCount();
            Sleep(300);
            if (!confirm_box(main)) {
                scan_ms = ended - scan_start;
                break;
            }
        }
        if ((int)((GetTickCount() - start) / 1000) > timeout) {
            std::printf("DRIVER: timed out at status \"%s\"\n", s.c_str());
            return 3;
        }
        Sleep(10);
    }
    std::printf("ELAPSED: %lu\n", (unsigned long)scan_ms);
    for (const std::string &line : list_lines(list)) std::printf("LINE: %s\n", line.c_str());
    std::printf("STATUS: %s\n", wide_text(status).c_str());
    std::fflush(stdout);
    // The finished window as the program leaves it (the statistics in view),
    // then with the list at its top, where the detections stand.
    screenshot("statistics", main);
    SendMessageW(list, LB_SETTOPINDEX, 0, 0);
    screenshot("finished", main);
    press(main, 1070);
    return 0;
}
