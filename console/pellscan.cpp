// pellscan.exe: the console front end of the engine, for unattended runs
// (startup and login scripts, remote execution, software distribution).
// It scans and removes as the window program's SCAN does, without a window
// or a question, writes every report line to the console and to a log,
// and ends with an exit code that says what the run did.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console/arguments.h"
#include "console/exit_codes.h"
#include "console/restart_request.h"
#include "console/run_log.h"
#include "console/unattended.h"
#include "engine/disposition.h"
#include "engine/find_function.h"
#include "engine/platform_facts.h"
#include "engine/scan_driver.h"
#include "engine/scan_state.h"
#include "version.h"

namespace {

// One run at a time on the machine, whatever the session: the "Global\"
// name first; NT 4.0 and the 9x family refuse a backslash in the name.
const char *const mutex_names[] = {"Global\\Pellmark.pellscan", "Pellmark.pellscan"};
const char window_class[] = "PellscanReport";
const char rule[] = "==============================================================================";
const char thin_rule[] = "------------------------------------------------------------------------------";

// How long a close, logoff or shutdown event waits for the log, at most.
const DWORD close_wait_ms = 4000;

enum stop_cause : LONG {
    stop_none,
    stop_ctrl_c,
    stop_ctrl_break,
    stop_console_closed,
    stop_logoff,
    stop_shutdown,
};

run_log the_log;
console_options options;
DWORD main_thread;
// Set (manual reset) once the RESULT line is written and the log closed.
HANDLE log_done;
// Written by the console handler's thread as well as the main thread; the
// first cause is kept, and read only after the scan.
volatile LONG stop_cause_seen = stop_none;
// The rest is the main thread's only.
bool scan_in_progress;
bool run_finished;
// A well-known service account (LocalSystem, LocalService, NetworkService),
// set before the console handler is installed.
bool service_account;

void note_stop(LONG cause) {
    if (stop_cause_seen == stop_none) stop_cause_seen = cause;
}

const char *stop_text(LONG cause) {
    switch (cause) {
    case stop_ctrl_c: return "Ctrl+C";
    case stop_ctrl_break: return "Ctrl+Break";
    case stop_console_closed: return "the console window was closed";
    case stop_logoff: return "the user logged off";
    case stop_shutdown: return "Windows shut down";
    default: return "the program was asked to end";
    }
}

void log_line(const char *text) { the_log.line(text); }

void log_format(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

void log_format(const char *format, ...) {
    char text[700];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    the_log.line(text);
}

void write_text(DWORD which, const char *text) {
    std::string line;
    for (const char *c = text; *c; ++c) {
        if (*c == '\n') {
            write_console(which, line.c_str());
            line.clear();
        } else {
            line += *c;
        }
    }
    if (!line.empty()) write_console(which, line.c_str());
}

// The SID of the process's user is S-1-5-18, -19 or -20. Its logoff events
// are other users' logoffs.
bool runs_as_service_account() {
    typedef BOOL(WINAPI * get_information_fn)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
    get_information_fn get_information =
        find_function<get_information_fn>(::GetModuleHandleA("advapi32.dll"), "GetTokenInformation");
    HANDLE token = nullptr;
    if (!get_information || !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    union {
        TOKEN_USER user;
        unsigned char bytes[256];
    } buffer;
    DWORD size = 0;
    bool service = false;
    if (get_information(token, TokenUser, &buffer, sizeof buffer, &size)) {
        const unsigned char *sid = static_cast<const unsigned char *>(buffer.user.User.Sid);
        static const unsigned char nt_authority[6] = {0, 0, 0, 0, 0, 5};
        if (sid && sid[0] == 1 && sid[1] == 1 && std::memcmp(sid + 2, nt_authority, 6) == 0) {
            DWORD rid;
            std::memcpy(&rid, sid + 8, 4);
            service = rid == 18 || rid == 19 || rid == 20;
        }
    }
    ::CloseHandle(token);
    return service;
}

// The end of the session concerns this run unless it is a logoff and the
// program runs as a service account: some user's logoff is not ours.
bool session_end_is_ours(LPARAM flags) { return !((flags & ENDSESSION_LOGOFF) && service_account); }

// The RESULT line's code, from what the scan left.
int decide_exit_code() { return exit_code_for(scan_outcome(options.detect_only)); }

// The end of the log after the engine's statistics: why the scan stopped,
// what happens about a restart, the RESULT line. Returns the exit code.
int finish_run() {
    run_finished = true;
    bool stopped = scan_state.scan_terminated != 0;
    if (stopped) log_format("Stopped before the end (%s): files not reached were not scanned", stop_text(stop_cause_seen));
    if (int running = processes_left_running())
        log_format("Left running: %d infected program(s) that could not be ended, their files not reached", running);
    if (scan_outcome(options.detect_only).restart_needed) {
        if (stopped) {
            log_line("Restart: needed to finish the removal; not started, as the scan was stopped");
        } else if (!options.restart) {
            log_line("Restart: needed to finish the removal; not started without /RESTART");
        } else {
            bool nt = platform_family() != 4;
            DWORD error = 0;
            if (request_restart(nt, &error)) {
                if (nt)
                    log_format("Restart: Windows restarts in %d seconds; programs are asked to close, none is forced",
                               (int)restart_delay_seconds);
                else
                    log_line("Restart: Windows restarts now; programs are asked to close, none is forced");
            } else {
                char reason[400];
                describe_error(error, reason, sizeof reason);
                log_format("Restart: could not be started: %s; restart Windows to finish the removal", reason);
            }
        }
    }
    int code = decide_exit_code();
    log_format("RESULT %d infected=%d removed=%d scheduled=%d left=%d scanned=%d", code, (int)scan_state.files_infected,
               (int)scan_state.files_removed, (int)scan_state.files_scheduled, (int)scan_state.files_left,
               (int)scan_state.files_scanned);
    if (the_log.write_error()) {
        char reason[400];
        describe_error(the_log.write_error(), reason, sizeof reason);
        std::string text = std::string("pellscan: the log is incomplete: a write failed: ") + reason;
        write_console(STD_ERROR_HANDLE, text.c_str());
    }
    the_log.close();
    if (log_done) ::SetEvent(log_done);
    return code;
}

// The engine ended the program itself in the middle of the scan: the log
// still gets its end, and the exit code says the scan did not finish.
void at_exit() {
    if (!scan_in_progress || run_finished) return;
    scan_in_progress = false;
    scan_state.scan_terminated = 1;
    log_line("The scan ended the program before its end");
    finish_run();
    ::TerminateProcess(::GetCurrentProcess(), exit_stopped);
}

LRESULT CALLBACK report_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case report_line_message:
        if (wparam != 0 || lparam != 0) break;
        the_log.line(scan_state.report_line);
        return 0;
    case report_status_message:
        if (wparam != 0 || lparam != 0) break;
        return 0;  // the path being walked is not written
    case WM_QUERYENDSESSION:
        // The walk stops at its next entry; the session may end.
        if (scan_in_progress && session_end_is_ours(lparam)) {
            note_stop((lparam & ENDSESSION_LOGOFF) ? stop_logoff : stop_shutdown);
            scan_state.scan_terminated = 1;
        }
        return TRUE;
    case WM_ENDSESSION:
        // The process may be ended as soon as this returns, and the walk
        // that this message arrived in cannot return before: the log is
        // finished here, at the walk's pause between two entries.
        if (wparam && scan_in_progress && session_end_is_ours(lparam)) {
            note_stop((lparam & ENDSESSION_LOGOFF) ? stop_logoff : stop_shutdown);
            scan_state.scan_terminated = 1;
            scan_in_progress = false;
            report_statistics();
            ::ExitProcess((UINT)finish_run());
        }
        return 0;
    default:
        break;
    }
    return ::DefWindowProcA(window, message, wparam, lparam);
}

// Runs on a thread of its own: the stop reaches the walk as WM_QUIT in the
// main thread's queue (the walker's pump ends the walk on it).
BOOL WINAPI on_console_event(DWORD event) {
    LONG cause;
    switch (event) {
    case CTRL_C_EVENT: cause = stop_ctrl_c; break;
    case CTRL_BREAK_EVENT: cause = stop_ctrl_break; break;
    case CTRL_CLOSE_EVENT: cause = stop_console_closed; break;
    case CTRL_LOGOFF_EVENT:
        if (service_account) return TRUE;
        cause = stop_logoff;
        break;
    case CTRL_SHUTDOWN_EVENT: cause = stop_shutdown; break;
    default: return FALSE;
    }
    note_stop(cause);
    ::PostThreadMessageA(main_thread, WM_QUIT, 0, 0);
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
    // The system ends the process when this returns: first the main thread
    // finishes the log and exits with its code.
    if (::WaitForSingleObject(log_done, close_wait_ms) == WAIT_OBJECT_0) ::Sleep(close_wait_ms);
    return TRUE;
}

// Another pellscan runs: the mutex exists, or exists and belongs to another
// user (access denied).
bool claim_the_run(HANDLE *mutex) {
    *mutex = nullptr;
    for (const char *name : mutex_names) {
        ::SetLastError(0);
        HANDLE h = ::CreateMutexA(nullptr, FALSE, name);
        DWORD error = ::GetLastError();
        if (h && error == ERROR_ALREADY_EXISTS) {
            ::CloseHandle(h);
            return false;
        }
        if (h) {
            *mutex = h;
            return true;
        }
        if (error == ERROR_ACCESS_DENIED) return false;
    }
    return true;  // no name was accepted: run unguarded rather than not at all
}

std::string default_log_path() {
    char folder[MAX_PATH + 1];
    UINT n = ::GetWindowsDirectoryA(folder, sizeof folder);
    if (n == 0 || n >= sizeof folder) return "pellscan.log";
    std::string path(folder, n);
    if (path.back() != '\\') path += '\\';
    return path + "pellscan.log";
}

std::string windows_text() {
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (!::GetVersionExA(&info)) return "unknown (the version query failed)";
    int family = platform_family();
    unsigned long build = family == 4 ? (info.dwBuildNumber & 0xFFFF) : info.dwBuildNumber;
    char text[300];
    std::snprintf(text, sizeof text, "%lu.%lu.%lu", (unsigned long)info.dwMajorVersion,
                  (unsigned long)info.dwMinorVersion, build);
    std::string result = text;
    const char *end = static_cast<const char *>(std::memchr(info.szCSDVersion, 0, sizeof info.szCSDVersion));
    std::string service_pack(info.szCSDVersion, end ? (size_t)(end - info.szCSDVersion) : sizeof info.szCSDVersion);
    size_t first = service_pack.find_first_not_of(' ');
    if (first != std::string::npos) {
        service_pack = service_pack.substr(first, service_pack.find_last_not_of(' ') - first + 1);
        result += " " + service_pack;
    }
    result += family == 4 ? " (9x family)" : family == 5 ? " (NT family)" : " (unknown family)";
    return result;
}

void write_header() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD computer_size = sizeof computer;
    if (!::GetComputerNameA(computer, &computer_size)) std::strcpy(computer, "(unknown)");
    const char *mode = options.detect_only ? "report only (nothing is changed)"
                       : options.restart   ? "remove, restart when needed"
                                           : "remove (no restart)";
    log_line(rule);
    log_line("Pellscan: unattended removal of W32/Quelby.Trojan");
    log_format("Date:         %04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
               now.wMinute, now.wSecond);
    log_format("Computer:     %s", computer);
    log_format("Windows:      %s", windows_text().c_str());
    log_format("Program:      pellscan.exe %s", PELLMARK_VERSION_TEXT);
    log_format("Mode:         %s", mode);
    log_format("Command line: %s", ::GetCommandLineA());
    log_line(thin_rule);
}

int refuse(const std::string &text) {
    write_console(STD_ERROR_HANDLE, ("pellscan: " + text).c_str());
    return exit_cannot_run;
}

}  // namespace

int main(int argc, char **argv) {
    // A Run value or image path on an empty removable drive fails quietly
    // instead of stopping the scan with the system's "insert a disk" box.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

    std::string error;
    switch (parse_arguments(argc, argv, &options, &error)) {
    case parse_help:
        write_text(STD_OUTPUT_HANDLE, usage_text);
        return exit_clean;
    case parse_error:
        write_console(STD_ERROR_HANDLE, ("pellscan: " + error).c_str());
        write_console(STD_ERROR_HANDLE, "");
        write_text(STD_ERROR_HANDLE, usage_text);
        return exit_cannot_run;
    case parse_run:
        break;
    }

    HANDLE mutex = nullptr;
    if (!claim_the_run(&mutex)) return refuse("another copy of pellscan is running; this one stops without scanning");
    if (::FindWindowA(nullptr, app_title))
        return refuse(std::string("Pellmark is running (a window titled \"") + app_title +
                      "\" exists); this copy stops without scanning");

    // The engine's report window, never shown. Its title keeps the window
    // program from starting while this runs.
    HINSTANCE instance = ::GetModuleHandleA(nullptr);
    WNDCLASSA window_type;
    std::memset(&window_type, 0, sizeof window_type);
    window_type.lpfnWndProc = report_window_proc;
    window_type.hInstance = instance;
    window_type.lpszClassName = window_class;
    HWND window = nullptr;
    if (::RegisterClassA(&window_type))
        window = ::CreateWindowExA(0, window_class, app_title, WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, instance,
                                   nullptr);
    if (!window) {
        char reason[400];
        describe_error(::GetLastError(), reason, sizeof reason);
        return refuse(std::string("cannot create the report window: ") + reason + "; nothing was scanned");
    }

    char computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD computer_size = sizeof computer;
    if (!::GetComputerNameA(computer, &computer_size)) std::strcpy(computer, "pellscan");
    std::string log_path = options.log_given ? log_file_for(options.log_path, computer) : default_log_path();
    DWORD open_error = 0;
    if (!the_log.open(log_path.c_str(), &open_error)) {
        char reason[400];
        describe_error(open_error, reason, sizeof reason);
        ::DestroyWindow(window);
        return refuse("cannot open the log file " + log_path + ": " + reason + "; nothing was scanned");
    }

    service_account = runs_as_service_account();
    main_thread = ::GetCurrentThreadId();
    log_done = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    unattended_note = log_line;
    std::atexit(at_exit);
    ::SetConsoleCtrlHandler(on_console_event, TRUE);

    write_header();

    // What the SCAN button prepares, for a run without anyone to answer.
    std::strcpy(scan_state.scan_target, "!:");
    scan_state.report_window = window;
    scan_state.disposition_choice = 100;
    scan_state.scan_running = 1;
    scan_state.unattended = 1;
    scan_state.detect_only = options.detect_only ? 1 : 0;
    scan_state.scan_terminated = 0;
    scan_in_progress = true;
    scan_driver();
    scan_in_progress = false;
    scan_state.scan_running = 0;

    int code = finish_run();
    ::DestroyWindow(window);
    if (mutex) ::CloseHandle(mutex);
    return code;
}
