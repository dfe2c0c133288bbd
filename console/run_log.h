// The output of a pellscan.exe run: every line goes to the log file (ANSI,
// CRLF, appended, written and flushed line by line, the file shared for
// reading only) and to the console (in the OEM code page).
#pragma once
#include <windows.h>

class run_log {
public:
    // Opens (or creates) the file for appending. Returns false, with
    // *error set to GetLastError, when it cannot be opened.
    bool open(const char *path, DWORD *error);
    // Writes text and CRLF to the file, then to the console. A line is
    // written with one WriteFile and flushed at once, so a crash or power
    // cut loses at most the line being written.
    void line(const char *text);
    // The same line to the console only.
    void console_line(const char *text);
    void close();
    bool is_open() const { return file != INVALID_HANDLE_VALUE; }
    // The first error of a log write after the open, 0 when none.
    DWORD write_error() const { return first_write_error; }

private:
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD first_write_error = 0;
};

// Writes text and CRLF to a standard handle (STD_OUTPUT_HANDLE or
// STD_ERROR_HANDLE), converted to the OEM code page. Nothing happens when
// the process has no such handle.
void write_console(DWORD which, const char *text);

// "text of the system message (error N)" for a GetLastError code.
void describe_error(DWORD error, char *buffer, unsigned size);
