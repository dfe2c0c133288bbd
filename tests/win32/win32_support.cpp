// Report window and confirmation box for the Windows-side tests.
#include "tests/win32/win32_support.h"

#include "engine/scan_state.h"

std::vector<int> confirm_answers;
std::vector<std::string> confirm_texts;

int ConfirmBox(const char *text, const char *, UINT) {
    confirm_texts.push_back(text);
    if (confirm_answers.empty()) return IDNO;
    int a = confirm_answers.front();
    confirm_answers.erase(confirm_answers.begin());
    return a;
}

static LRESULT CALLBACK record_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    Win32ReportWindow *w = (Win32ReportWindow *)GetWindowLongPtrA(hwnd, GWLP_USERDATA);
    if (w && msg == report_line_message && wparam == 0 && lparam == 0) {
        w->lines.push_back(scan_state.report_line);
        return 0;
    }
    if (w && msg == report_status_message && wparam == 0 && lparam == 0) {
        w->statuses.push_back(scan_state.status_text);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wparam, lparam);
}

void Win32ReportWindow::create() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = record_proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "PellmarkTestReport";
    RegisterClassA(&wc);
    hwnd = CreateWindowA("PellmarkTestReport", "report", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         wc.hInstance, nullptr);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, (LONG_PTR)this);
    scan_state.report_window = hwnd;
}

void Win32ReportWindow::destroy() {
    if (hwnd) DestroyWindow(hwnd);
    hwnd = nullptr;
}

bool write_file(const std::string &path, size_t size, DWORD attributes) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::string data(size, 'x');
    DWORD written = 0;
    BOOL ok = size == 0 || WriteFile(h, data.data(), (DWORD)size, &written, nullptr);
    CloseHandle(h);
    return ok && written == size && SetFileAttributesA(path.c_str(), attributes);
}
