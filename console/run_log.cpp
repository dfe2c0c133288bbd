// The log file and console output of pellscan.exe.
#include "console/run_log.h"

#include <cstdio>
#include <cstring>
#include <vector>

bool run_log::open(const char *path, DWORD *error) {
    close();
    // Appending: the position is set to the end once, and no other program
    // may write while the file is open (read sharing only).
    HANDLE h = ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = ::GetLastError();
        return false;
    }
    if (::SetFilePointer(h, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER && ::GetLastError() != NO_ERROR) {
        *error = ::GetLastError();
        ::CloseHandle(h);
        return false;
    }
    file = h;
    first_write_error = 0;
    return true;
}

void run_log::line(const char *text) {
    if (file != INVALID_HANDLE_VALUE) {
        size_t n = std::strlen(text);
        std::vector<char> bytes(text, text + n);
        bytes.push_back('\r');
        bytes.push_back('\n');
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr) || written != bytes.size() ||
            !::FlushFileBuffers(file)) {
            if (!first_write_error) {
                first_write_error = ::GetLastError();
                if (!first_write_error) first_write_error = ERROR_WRITE_FAULT;
            }
        }
    }
    console_line(text);
}

void run_log::console_line(const char *text) { write_console(STD_OUTPUT_HANDLE, text); }

void run_log::close() {
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
}

void write_console(DWORD which, const char *text) {
    HANDLE out = ::GetStdHandle(which);
    if (out == INVALID_HANDLE_VALUE || out == nullptr) return;
    size_t n = std::strlen(text);
    std::vector<char> bytes(n + 2);
    if (n) ::CharToOemBuffA(text, bytes.data(), (DWORD)n);
    bytes[n] = '\r';
    bytes[n + 1] = '\n';
    DWORD written = 0;
    ::WriteFile(out, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
}

void describe_error(DWORD error, char *buffer, unsigned size) {
    char text[300] = "";
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                               sizeof text, nullptr);
    // The system's text ends with a line break and often a full stop.
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.')) --n;
    text[n] = 0;
    if (n) std::snprintf(buffer, size, "%s (error %lu)", text, (unsigned long)error);
    else std::snprintf(buffer, size, "error %lu", (unsigned long)error);
}
