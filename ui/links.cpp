// Links and link cursor.
#include "ui/links.h"

#include "ui/skin_button.h"

#include <shellapi.h>

#include <cstring>

const char product_page_address[] = "https://www.brenvik.example/orvanta/";
const char tools_page_address[] = "https://www.brenvik.example/removal-tools/";

static void open_page(const char *address) {
    char buffer[512];
    std::strncpy(buffer, address, sizeof buffer - 1);
    buffer[sizeof buffer - 1] = 0;
    ::ShellExecuteA(nullptr, "open", buffer, nullptr, nullptr, SW_SHOWNORMAL);
}

void open_product_page() { open_page(product_page_address); }

void open_tools_page() { open_page(tools_page_address); }

void load_link_cursor(CExButton &button) {
    if (button.link_cursor) return;
    char path[MAX_PATH + 16];
    UINT n = ::GetWindowsDirectoryA(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    std::strcat(path, "\\winhlp32.exe");
    HMODULE module = ::LoadLibraryA(path);
    if (!module) return;
    HCURSOR cursor = ::LoadCursorA(module, MAKEINTRESOURCEA(106));
    if (cursor) button.link_cursor = (HCURSOR)::CopyIcon((HICON)cursor);
    ::FreeLibrary(module);
}
