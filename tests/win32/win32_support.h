// Shared pieces of the Windows-side tests: a report window that records what
// the engine sends, and the scripted confirmation box the engine links with.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

struct Win32ReportWindow {
    HWND hwnd = nullptr;
    std::vector<std::string> lines;
    std::vector<std::string> statuses;
    void create();
    void destroy();
};

// Answers of the confirmation box, taken in order; IDNO when none are left.
extern std::vector<int> confirm_answers;
extern std::vector<std::string> confirm_texts;

// Creates a file of the given size (filled with 'x') and attributes.
bool write_file(const std::string &path, size_t size, DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
