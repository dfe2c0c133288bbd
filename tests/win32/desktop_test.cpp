// The windows on desktops as users have them: High Contrast colours, the
// keyboard during a scan, the end of the session during a scan, stray
// commands, and the objects a window owns.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/directory_walker.h"
#include "engine/scan_state.h"
#include "ui/confirm_dlg.h"
#include "ui/framework/app.h"
#include "ui/main_dlg.h"
#include "ui/resource.h"
#include "ui/skin_button.h"
#include "ui/window_shape.h"

namespace {

// Thread timers, each with its action, run in whatever loop dispatches them
// (the dialog's, a question's, the walker's pump).
std::map<UINT_PTR, std::function<void()>> timer_actions;
void CALLBACK timer_fired(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    auto it = timer_actions.find(id);
    if (it == timer_actions.end()) return;
    std::function<void()> f = it->second;
    timer_actions.erase(it);
    f();
}
void after(UINT ms, std::function<void()> f) { timer_actions[SetTimer(nullptr, 0, ms, timer_fired)] = f; }
void cancel_timers() {
    for (auto &t : timer_actions) KillTimer(nullptr, t.first);
    timer_actions.clear();
}

// Pixels of what the screen shows of a window, as 0xRRGGBB.
std::vector<COLORREF> screen_pixels(HWND w) {
    for (HWND up = w; up; up = GetParent(up)) UpdateWindow(up);
    GdiFlush();
    RECT r;
    GetWindowRect(w, &r);
    int width = r.right - r.left, height = r.bottom - r.top;
    std::vector<COLORREF> out;
    if (width <= 0 || height <= 0) return out;
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void *bits = nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC memory = CreateCompatibleDC(screen);
    HGDIOBJ old = SelectObject(memory, dib);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const DWORD *p = (const DWORD *)bits;
    for (int i = 0; i < width * height; ++i) out.push_back(p[i] & 0xFFFFFF);
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(dib);
    ReleaseDC(nullptr, screen);
    return out;
}

// Ink: pixels much darker than the light grounds the texts stand on.
int dark_pixels(HWND w) {
    int n = 0;
    for (COLORREF c : screen_pixels(w)) {
        int r = (c >> 16) & 0xFF, g = (c >> 8) & 0xFF, b = c & 0xFF;
        if (r + g + b < 3 * 100) ++n;
    }
    return n;
}

HWND item(const CMainDlg &d, int id) { return GetDlgItem(d.m_hWnd, id); }

std::string text_of(HWND w) {
    char t[300] = {0};
    GetWindowTextA(w, t, sizeof t);
    return t;
}

int lines_equal(const CMainDlg &d, const std::string &line) {
    int n = 0;
    CListBox &list = const_cast<CListBox &>(d.results_list);
    for (int i = 0; i < list.GetCount(); ++i) n += list.GetText(i) == line;
    return n;
}

int boxes_opened = 0;

// during() of run_scan, run by a window of its own from a message posted
// when a status text arrives after some files: posted messages reach the
// walker's pump at once, where timers may wait behind the scan's traffic.
std::function<void()> helper_action;
HWND scan_dialog = nullptr;
HWND helper = nullptr;
bool helper_posted = false;
LRESULT CALLBACK helper_proc(HWND h, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_APP && helper_action) {
        std::function<void()> f = helper_action;
        helper_action = nullptr;
        f();
        return 0;
    }
    return DefWindowProcA(h, message, wparam, lparam);
}
LRESULT CALLBACK watch_status(int code, WPARAM wparam, LPARAM lparam) {
    const CWPSTRUCT *m = (const CWPSTRUCT *)lparam;
    if (code == HC_ACTION && m->hwnd == scan_dialog && m->message == report_status_message && !helper_posted &&
        scan_state.scan_running && scan_state.files_scanned > 50) {
        helper_posted = true;
        PostMessageA(helper, WM_APP, 0, 0);
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

// A scan of the sandbox's C: in the main window: during() runs once from the
// walker's pump after some files, at_end() once the window is finished; then
// OK ends the dialog.
void run_scan(CMainDlg &dialog, std::function<void()> during, std::function<void()> at_end) {
    std::memset(&scan_state, 0, sizeof scan_state);
    if (!helper) {
        WNDCLASSA c = {};
        c.lpfnWndProc = helper_proc;
        c.hInstance = GetModuleHandleA(nullptr);
        c.lpszClassName = "DesktopTestHelper";
        RegisterClassA(&c);
        helper = CreateWindowA("DesktopTestHelper", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, c.hInstance, nullptr);
    }
    bool ran_during = false;
    helper_posted = false;
    helper_action = [&]() {
        ran_during = true;
        during();
    };
    HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROC, watch_status, nullptr, GetCurrentThreadId());
    static std::function<void()> poll;
    DWORD start = GetTickCount();
    poll = [&]() {
        if (GetTickCount() - start > 150000) {
            ADD_FAILURE() << "the scan did not finish";
            EndDialog(dialog.m_hWnd, -7);
            return;
        }
        if (scan_state.scan_running || !IsWindowVisible(item(dialog, IDC_OK))) {
            after(50, poll);
            return;
        }
        at_end();
        PostMessageA(dialog.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_OK, BN_CLICKED), (LPARAM)item(dialog, IDC_OK));
    };
    after(400, [&]() {
        scan_dialog = dialog.m_hWnd;
        PostMessageA(dialog.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_SCAN, BN_CLICKED), (LPARAM)item(dialog, IDC_SCAN));
        after(50, poll);
    });
    EXPECT_EQ(IDOK, dialog.DoModal());
    UnhookWindowsHookEx(hook);
    cancel_timers();
    helper_action = nullptr;
    EXPECT_TRUE(ran_during) << "the scan ended before it could be touched";
}

void pump_for(DWORD ms) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&m);
            DispatchMessageA(&m);
        }
        Sleep(5);
    }
}

}  // namespace

// Esc during the scan asks once; answering with Esc leaves its release to
// arrive after the box has closed, which must not ask again. The first box
// is answered with Esc, its release posted as it closes; any further box is
// answered No.
HWND escape_main = nullptr, last_box = nullptr;
LRESULT CALLBACK answer_with_escape(int code, WPARAM wparam, LPARAM lparam) {
    HWND w = (HWND)wparam;
    if (w && w != escape_main && !(GetWindowLongA(w, GWL_STYLE) & WS_CHILD)) {
        if (code == HCBT_ACTIVATE && w != last_box) {
            last_box = w;
            ++boxes_opened;
            if (boxes_opened == 1) PostMessageA(w, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
            else PostMessageA(w, WM_COMMAND, IDC_CONFIRM_NO, 0);
        }
        if (code == HCBT_DESTROYWND && boxes_opened == 1 && w == last_box)
            PostMessageA(escape_main, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

TEST(DesktopTest, EscapeAnsweredNoWithEscapeAsksOnce) {
    CMainDlg dialog(nullptr);
    HHOOK hook = nullptr;
    int terminated = -1;
    std::string status;
    run_scan(
        dialog,
        [&]() {
            boxes_opened = 0;
            escape_main = dialog.m_hWnd;
            hook = SetWindowsHookExA(WH_CBT, answer_with_escape, nullptr, GetCurrentThreadId());
            PostMessageA(GetFocus() ? GetFocus() : dialog.m_hWnd, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        },
        [&]() {
            terminated = scan_state.scan_terminated;
            status = text_of(item(dialog, IDC_STATUS));
        });
    if (hook) UnhookWindowsHookEx(hook);
    EXPECT_EQ(1, boxes_opened) << "one question for one press of Esc";
    EXPECT_EQ(0, terminated);
    EXPECT_EQ("Scanning completed", status);
}

// A SCAN command during the scan starts nothing; a logoff during the scan is
// refused and the scan stops with its statistics; afterwards the session
// may end.
TEST(DesktopTest, StrayScanAndEndOfSessionDuringAScan) {
    CMainDlg dialog(nullptr);
    LRESULT during_scan = -1, after_scan = -1;
    int terminated_at_once = -1, statistics = -1, statistics_later = -1, finished_during = -1;
    std::string status;
    run_scan(
        dialog,
        [&]() {
            SendMessageA(dialog.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_SCAN, BN_CLICKED), (LPARAM)item(dialog, IDC_SCAN));
            pump_for(300);  // a timer the command armed would have fired
            finished_during = scan_state.scan_finished;
            during_scan = SendMessageA(dialog.m_hWnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
            terminated_at_once = scan_state.scan_terminated;
        },
        [&]() {
            status = text_of(item(dialog, IDC_STATUS));
            statistics = lines_equal(dialog, "Scanning statistics");
            pump_for(400);
            statistics_later = lines_equal(dialog, "Scanning statistics");
            after_scan = SendMessageA(dialog.m_hWnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
        });
    EXPECT_EQ(0, finished_during) << "no second scan ran inside the first";
    EXPECT_EQ(0, during_scan) << "the end of the session is refused during a scan";
    EXPECT_EQ(1, terminated_at_once);
    EXPECT_EQ("Scanning terminated", status);
    EXPECT_EQ(1, statistics) << "one scan, one set of statistics";
    EXPECT_EQ(1, statistics_later);
    EXPECT_NE(0, after_scan);
}

// High Contrast Black: white window text on black grounds. The texts on the
// window's fixed white and pale blue grounds must still show ink.
TEST(DesktopTest, TextsShowInHighContrastColours) {
    const int elements[] = {COLOR_WINDOW, COLOR_WINDOWTEXT, COLOR_BTNFACE, COLOR_BTNTEXT};
    COLORREF saved[4], contrast[4] = {RGB(0, 0, 0), RGB(255, 255, 255), RGB(0, 0, 0), RGB(255, 255, 255)};
    for (int i = 0; i < 4; ++i) saved[i] = GetSysColor(elements[i]);
    ASSERT_TRUE(SetSysColors(4, elements, contrast));
    std::memset(&scan_state, 0, sizeof scan_state);
    CMainDlg dialog(nullptr);
    int title = -1, notice = -1, status = -1, question = -1;
    after(400, [&]() {
        title = dark_pixels(item(dialog, IDC_TITLE));
        notice = dark_pixels(item(dialog, IDC_NOTICE));
        ShowWindow(item(dialog, IDC_STATUS), SW_SHOW);
        scan_state.scan_finished = 1;  // shown at once
        std::strcpy(scan_state.status_text, "C:\\WINDOWS\\SYSTEM\\KERNEL32.DLL");
        SendMessageA(dialog.m_hWnd, report_status_message, 0, 0);
        status = dark_pixels(item(dialog, IDC_STATUS));
        after(400, [&]() {
            HWND box = GetActiveWindow();
            question = dark_pixels(GetDlgItem(box, IDC_CONFIRM_TEXT));
            PostMessageA(box, WM_COMMAND, IDC_CONFIRM_NO, 0);
        });
        ConfirmBox("Terminate the Scan now?", app_title, MB_YESNO | MB_ICONQUESTION);
        PostMessageA(dialog.m_hWnd, WM_COMMAND, IDCANCEL, 0);
    });
    dialog.DoModal();
    cancel_timers();
    SetSysColors(4, elements, saved);
    EXPECT_GT(title, 50);
    EXPECT_GT(notice, 50);
    EXPECT_GT(status, 30);
    EXPECT_GT(question, 30);
}

// The link cursor is the button's own copy and goes with the button.
TEST(DesktopTest, LinkCursorIsDestroyedWithItsButton) {
    HCURSOR copy = nullptr;
    {
        CExButton button;
        button.link_cursor = (HCURSOR)CopyIcon((HICON)LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)));
        copy = button.link_cursor;
        ASSERT_TRUE(copy);
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo((HICON)copy, &info));
        if (info.hbmMask) DeleteObject(info.hbmMask);
        if (info.hbmColor) DeleteObject(info.hbmColor);
    }
    ICONINFO info = {};
    BOOL alive = GetIconInfo((HICON)copy, &info);
    if (alive) {
        if (info.hbmMask) DeleteObject(info.hbmMask);
        if (info.hbmColor) DeleteObject(info.hbmColor);
        DestroyIcon((HICON)copy);
    }
    EXPECT_FALSE(alive);
}

namespace {
// How a static control lays its text out: the height its lines take at its
// width in its font (one line when it does not wrap), and the widest line.
SIZE text_extent(HWND control, const std::string &text) {
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, (HGDIOBJ)SendMessageA(control, WM_GETFONT, 0, 0));
    RECT client;
    GetClientRect(control, &client);
    LONG style = GetWindowLongA(control, GWL_STYLE);
    bool wraps = (style & SS_TYPEMASK) == SS_LEFT || (style & SS_TYPEMASK) == SS_CENTER ||
                 (style & SS_TYPEMASK) == SS_RIGHT;
    RECT r = {0, 0, client.right, 0};
    DrawTextA(dc, text.c_str(), -1, &r, DT_CALCRECT | DT_NOPREFIX | (wraps ? DT_WORDBREAK : DT_SINGLELINE));
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    SIZE s = {r.right - r.left, r.bottom - r.top};
    return s;
}
}  // namespace

// Every text fits its control, at the screen's pixels per inch (96, and 120
// in a second run): the status line keeps one line and shortens a long path
// with spaces instead of wrapping it away.
TEST(DesktopTest, TextsFitTheirControls) {
    std::memset(&scan_state, 0, sizeof scan_state);
    CMainDlg dialog(nullptr);
    std::vector<std::string> failures;
    int dpi = 0;
    std::string status;
    const std::string long_path =
        "C:\\WWWWWW WWWWW\\WWWWW WWWWWWWW\\WWWWWWW WWWWWW\\WWWWWW WWWW\\WWWWWWWW WWWW.DLL";
    auto check = [&](HWND control, const std::string &name) {
        RECT client;
        GetClientRect(control, &client);
        SIZE need = text_extent(control, text_of(control));
        if (need.cy > client.bottom || need.cx > client.right)
            failures.push_back(name + ": text needs " + std::to_string(need.cx) + "x" + std::to_string(need.cy) +
                               ", control " + std::to_string(client.right) + "x" + std::to_string(client.bottom));
    };
    after(400, [&]() {
        HDC dc = GetDC(nullptr);
        dpi = GetDeviceCaps(dc, LOGPIXELSY);
        ReleaseDC(nullptr, dc);
        check(item(dialog, IDC_TITLE), "title line");
        check(item(dialog, IDC_NOTICE), "notice line");
        check(item(dialog, IDC_FOOTER), "footer");
        scan_state.scan_finished = 1;  // shown at once
        // As the walker shows it: 60 characters.
        shorten_path(long_path.c_str(), scan_state.status_text, 60);
        SendMessageA(dialog.m_hWnd, report_status_message, 0, 0);
        status = text_of(item(dialog, IDC_STATUS));
        check(item(dialog, IDC_STATUS), "status line");
        after(400, [&]() {
            HWND box = GetActiveWindow();
            check(GetDlgItem(box, IDC_CONFIRM_TEXT), "question");
            PostMessageA(box, WM_COMMAND, IDC_CONFIRM_NO, 0);
        });
        ConfirmBox("The system has to be restarted to remove the virus completely from your system. \n\n Restart now?",
                   app_title, MB_YESNO | MB_ICONQUESTION);
        PostMessageA(dialog.m_hWnd, WM_COMMAND, IDCANCEL, 0);
    });
    dialog.DoModal();
    cancel_timers();
    std::printf("%d pixels per inch\n", dpi);
    if (const char *want = getenv("PELLMARK_EXPECT_DPI")) {
        EXPECT_EQ(atoi(want), dpi);
    }
    for (const std::string &f : failures) ADD_FAILURE() << f;
    // Shortened in the middle: its start and its file name show.
    EXPECT_EQ(0u, status.find("C:\\WWW")) << status;
    EXPECT_NE(std::string::npos, status.find("...")) << status;
    EXPECT_EQ(status.size() - 8, status.rfind("WWWW.DLL")) << status;
}

namespace {
// The pixels of a bitmap as 0xRRGGBB, top row first.
std::vector<COLORREF> bitmap_pixels(HBITMAP bm, int *width, int *height) {
    BITMAP info = {};
    GetObjectA(bm, sizeof info, &info);
    *width = info.bmWidth;
    *height = info.bmHeight;
    std::vector<COLORREF> out((size_t)info.bmWidth * info.bmHeight);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = info.bmWidth;
    bi.bmiHeader.biHeight = -info.bmHeight;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    HDC dc = GetDC(nullptr);
    GetDIBits(dc, bm, 0, info.bmHeight, out.data(), &bi, DIB_RGB_COLORS);
    ReleaseDC(nullptr, dc);
    for (COLORREF &c : out) c &= 0xFFFFFF;
    return out;
}

// Share of the pixels whose colour on the screen is within 40 of the
// image's in each channel.
double share_alike(const std::vector<COLORREF> &screen, const std::vector<COLORREF> &image) {
    if (screen.size() != image.size() || image.empty()) return 0;
    size_t alike = 0;
    for (size_t i = 0; i < image.size(); ++i) {
        bool similar = true;
        for (int shift : {0, 8, 16}) {
            int a = (int)((screen[i] >> shift) & 0xFF), b = (int)((image[i] >> shift) & 0xFF);
            if (a - b > 40 || b - a > 40) similar = false;
        }
        alike += similar;
    }
    return (double)alike / image.size();
}
}  // namespace

// The skin and the buttons keep their colours on the screen; at 256 colours
// (a second run), the window realizes a palette of the art's colours, so
// that the system palette holds them (without it the blues of the skin,
// SCAN and DOWNLOAD fall to the nearest static colours and the buttons show
// as black slabs). Wine's display of 8 bits draws DIBs through its own
// fixed colour set whatever is realized, so there only the system palette
// is checked; the screen's share is printed.
TEST(DesktopTest, SkinAndButtonsKeepTheirColours) {
    std::memset(&scan_state, 0, sizeof scan_state);
    CMainDlg dialog(nullptr);
    int depth = 0;
    bool palette_display = false;
    double scan = -1, download = -1, skin = -1, in_system_palette = -1;
    after(500, [&]() {
        HDC dc = GetDC(nullptr);
        depth = GetDeviceCaps(dc, BITSPIXEL);
        palette_display = (GetDeviceCaps(dc, RASTERCAPS) & RC_PALETTE) != 0;
        PALETTEENTRY system[256];
        UINT entries = palette_display ? GetSystemPaletteEntries(dc, 0, 256, system) : 0;
        ReleaseDC(nullptr, dc);
        auto button_image = [&](CExButton &b) {
            int w = 0, h = 0;
            return bitmap_pixels(*b.chosen_image(IsWindowEnabled(b.m_hWnd) ? 0 : ODS_DISABLED), &w, &h);
        };
        scan = share_alike(screen_pixels(dialog.scan_button.m_hWnd), button_image(dialog.scan_button));
        download = share_alike(screen_pixels(dialog.download_button.m_hWnd), button_image(dialog.download_button));
        // The skin where no control stands: the banner's strip above SCAN.
        int w = 0, h = 0;
        std::vector<COLORREF> all = bitmap_pixels(dialog.skin_bitmap, &w, &h);
        POINT origin = {0, 0};
        ClientToScreen(dialog.m_hWnd, &origin);
        HDC screen = GetDC(nullptr);
        std::vector<COLORREF> on_screen, want;
        for (int y = 2; y < 20; ++y)
            for (int x = 40; x < 480; x += 3) {
                COLORREF c = GetPixel(screen, origin.x + x, origin.y + y);
                on_screen.push_back(((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF));
                want.push_back(all[(size_t)y * w + x]);
            }
        ReleaseDC(nullptr, screen);
        skin = share_alike(on_screen, want);
        if (palette_display) {
            std::vector<COLORREF> art = want, more = button_image(dialog.scan_button);
            art.insert(art.end(), more.begin(), more.end());
            more = button_image(dialog.download_button);
            art.insert(art.end(), more.begin(), more.end());
            size_t found = 0;
            for (COLORREF c : art) {
                bool there = false;
                for (UINT i = 0; i < entries && !there; ++i)
                    there = system[i].peRed == ((c >> 16) & 0xFF) && system[i].peGreen == ((c >> 8) & 0xFF) &&
                            system[i].peBlue == (c & 0xFF);
                found += there;
            }
            in_system_palette = (double)found / art.size();
        }
        PostMessageA(dialog.m_hWnd, WM_COMMAND, IDCANCEL, 0);
    });
    dialog.DoModal();
    cancel_timers();
    std::printf("display depth %d: SCAN %.2f, DOWNLOAD %.2f, skin %.2f of the pixels alike on the screen; "
                "%.2f of the art's pixels in the system palette\n",
                depth, scan, download, skin, in_system_palette);
    if (const char *want = getenv("PELLMARK_EXPECT_DEPTH")) {
        EXPECT_EQ(atoi(want), depth);
    }
    if (palette_display) {
        EXPECT_GT(in_system_palette, 0.99);
    } else {
        EXPECT_GT(scan, 0.9);
        EXPECT_GT(download, 0.9);
        EXPECT_GT(skin, 0.9);
    }
}

// The question's picture survives a repaint of its control alone.
TEST(DesktopTest, QuestionPictureSurvivesARepaintOfItsControl) {
    std::memset(&scan_state, 0, sizeof scan_state);
    CMainDlg dialog(nullptr);
    double before = -1, after_repaint = -1;
    after(400, [&]() {
        after(400, [&]() {
            HWND box = GetActiveWindow(), icon = GetDlgItem(box, IDC_CONFIRM_ICON);
            HBITMAP picture = (HBITMAP)LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDB_QUESTION),
                                                  IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION);
            int w = 0, h = 0;
            std::vector<COLORREF> image = bitmap_pixels(picture, &w, &h);
            DeleteObject(picture);
            RECT r;
            GetClientRect(icon, &r);
            // The part of the picture that the control shows.
            std::vector<COLORREF> want;
            for (int y = 0; y < r.bottom; ++y)
                for (int x = 0; x < r.right; ++x) want.push_back(y < h && x < w ? image[(size_t)y * w + x] : 0);
            before = share_alike(screen_pixels(icon), want);
            InvalidateRect(icon, nullptr, TRUE);
            UpdateWindow(icon);
            GdiFlush();
            after_repaint = share_alike(screen_pixels(icon), want);
            PostMessageA(box, WM_COMMAND, IDC_CONFIRM_NO, 0);
        });
        ConfirmBox("Terminate the Scan now?", app_title, MB_YESNO | MB_ICONQUESTION);
        PostMessageA(dialog.m_hWnd, WM_COMMAND, IDCANCEL, 0);
    });
    dialog.DoModal();
    cancel_timers();
    std::printf("picture alike: %.2f before, %.2f after a repaint of its control\n", before, after_repaint);
    EXPECT_GT(before, 0.85);
    EXPECT_GT(after_repaint, 0.85);
}

// The first tick of the scan's timer that comes while a loop not the
// window's own runs (the system's menu loop here) leaves the scan for the
// first tick after that loop.
TEST(DesktopTest, ScanWaitsForTheSystemLoopToEnd) {
    std::memset(&scan_state, 0, sizeof scan_state);
    CMainDlg dialog(nullptr);
    int running_in_loop = -1, files_in_loop = -1;
    after(400, [&]() {
        SendMessageA(dialog.m_hWnd, WM_ENTERMENULOOP, FALSE, 0);
        SendMessageA(dialog.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_SCAN, BN_CLICKED), (LPARAM)item(dialog, IDC_SCAN));
        pump_for(400);  // the loop's own dispatch of the timer's ticks
        running_in_loop = scan_state.scan_running;
        files_in_loop = scan_state.files_scanned;
        SendMessageA(dialog.m_hWnd, WM_EXITMENULOOP, FALSE, 0);
        static std::function<void()> poll;
        poll = [&]() {
            if (scan_state.scan_running) {
                after(100, poll);
                return;
            }
            PostMessageA(dialog.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_OK, BN_CLICKED), (LPARAM)item(dialog, IDC_OK));
        };
        after(100, poll);
    });
    EXPECT_EQ(IDOK, dialog.DoModal());
    cancel_timers();
    EXPECT_EQ(1, running_in_loop) << "SCAN was pressed";
    EXPECT_EQ(0, files_in_loop) << "no file scanned inside the other loop";
    EXPECT_EQ(1, scan_state.scan_finished) << "the scan ran after the loop";
    EXPECT_GT(scan_state.files_scanned, 0);
}

// With a help program that has the hand cursor (planted in a run of its
// own): the seven buttons each get their own copy, the logo none; a button
// shows it under the pointer; each copy goes with its button.
TEST(DesktopTest, HandCursorFromTheHelpProgram) {
    if (!getenv("PELLMARK_TEST_HELP")) GTEST_SKIP() << "no help program planted";
    std::memset(&scan_state, 0, sizeof scan_state);
    std::vector<HCURSOR> copies;
    HCURSOR logo = (HCURSOR)1, shown = nullptr;
    LRESULT handled = 0;
    {
        CMainDlg dialog(nullptr);
        after(400, [&]() {
            for (CExButton *b : {&dialog.scan_button, &dialog.x_button, &dialog.download_button, &dialog.ok_button,
                                 &dialog.cancel_button, &dialog.dlink_button, &dialog.ulink_button})
                copies.push_back(b->link_cursor);
            logo = dialog.logo_button.link_cursor;
            HWND scan = dialog.scan_button.m_hWnd;
            handled = SendMessageA(scan, WM_SETCURSOR, (WPARAM)scan, MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
            shown = GetCursor();
            PostMessageA(dialog.m_hWnd, WM_COMMAND, IDCANCEL, 0);
        });
        dialog.DoModal();
        cancel_timers();
    }
    ASSERT_EQ(7u, copies.size());
    EXPECT_EQ(nullptr, logo);
    EXPECT_TRUE(handled);
    EXPECT_EQ(copies[0], shown);
    for (size_t i = 0; i < copies.size(); ++i) {
        EXPECT_TRUE(copies[i]) << i;
        for (size_t j = 0; j < i; ++j) EXPECT_NE(copies[j], copies[i]) << "one copy each";
        ICONINFO info = {};
        BOOL alive = copies[i] && GetIconInfo((HICON)copies[i], &info);
        if (alive) {
            if (info.hbmMask) DeleteObject(info.hbmMask);
            if (info.hbmColor) DeleteObject(info.hbmColor);
        }
        EXPECT_FALSE(alive) << "copy " << i << " outlived its button";
    }
}

namespace {
struct QuestionCount {
    HWND main;
    int n;
    bool answer;
};
BOOL CALLBACK count_question(HWND w, LPARAM p) {
    QuestionCount *c = (QuestionCount *)p;
    char cls[16] = {0};
    GetClassNameA(w, cls, sizeof cls);
    if (w != c->main && IsWindowVisible(w) && std::string(cls) == "#32770") {
        ++c->n;
        if (c->answer) PostMessageA(w, WM_COMMAND, IDC_CONFIRM_NO, 0);
    }
    return TRUE;
}
// Questions open on this thread; each is answered No when answer.
int open_questions(HWND main, bool answer = false) {
    QuestionCount count = {main, 0, answer};
    EnumThreadWindows(GetCurrentThreadId(), count_question, (LPARAM)&count);
    return count.n;
}
}  // namespace

// The pointer over the window while something else is in front, or while a
// question is open over it: no focus is taken, no capture kept, and a click
// that still reaches X opens no second question. A question over a window
// standing partly off the screen stays inside the work area.
TEST(DesktopTest, PointerBehindOtherWindowsAndQuestionsInsideTheWorkArea) {
    std::memset(&scan_state, 0, sizeof scan_state);
    CMainDlg dialog(nullptr);
    // As in the program: the main window owns the questions, and is disabled
    // while one is open.
    CWinApp app;
    app.m_hInstance = GetModuleHandleA(nullptr);
    app.m_pMainWnd = &dialog;
    bool activated_by_hover = true, capture_behind_question = true;
    int questions = -1;
    RECT work = {}, box = {};
    after(400, [&]() {
        HWND x = dialog.x_button.m_hWnd, scan = dialog.scan_button.m_hWnd;
        HWND front = CreateWindowA("STATIC", "front", WS_POPUP | WS_VISIBLE, 700, 600, 50, 50, nullptr, nullptr,
                                   GetModuleHandleA(nullptr), nullptr);
        SetForegroundWindow(front);
        SendMessageA(scan, WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));
        activated_by_hover = GetForegroundWindow() != front || GetFocus() == scan;
        ReleaseCapture();
        DestroyWindow(front);
        SetForegroundWindow(dialog.m_hWnd);

        SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
        SetWindowPos(dialog.m_hWnd, nullptr, work.right - 150, work.bottom - 120, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        scan_state.scan_running = 1;  // as during a scan: X asks
        SendMessageA(x, WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
        after(400, [&, x]() {
            box = visible_rect(GetActiveWindow());
            SendMessageA(x, WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
            capture_behind_question = GetCapture() == x;
            PostMessageA(dialog.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_X, BN_CLICKED), (LPARAM)x);
            after(400, [&]() {
                questions = open_questions(dialog.m_hWnd);
                static std::function<void()> answer;
                answer = [&]() {
                    if (open_questions(dialog.m_hWnd, true) == 0) {
                        scan_state.scan_running = 0;
                        PostMessageA(dialog.m_hWnd, WM_COMMAND, IDCANCEL, 0);
                        return;
                    }
                    after(300, answer);
                };
                answer();
            });
        });
        PostMessageA(dialog.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_X, BN_CLICKED), (LPARAM)x);
    });
    dialog.DoModal();
    cancel_timers();
    scan_state.scan_running = 0;
    EXPECT_FALSE(activated_by_hover) << "the pointer crossing the window activated it";
    EXPECT_FALSE(capture_behind_question);
    EXPECT_EQ(1, questions) << "one question at a time";
    EXPECT_TRUE(box.left >= work.left && box.top >= work.top && box.right <= work.right && box.bottom <= work.bottom)
        << box.left << "," << box.top << " " << box.right << "," << box.bottom;
}

// Minimised during the scan: the scan goes on, a question asked meanwhile
// stands inside the work area, and the scan completes.
TEST(DesktopTest, MinimisedDuringAScan) {
    CMainDlg dialog(nullptr);
    bool iconic = false;
    RECT work = {}, box = {};
    std::string status;
    run_scan(
        dialog,
        [&]() {
            ShowWindow(dialog.m_hWnd, SW_MINIMIZE);
            iconic = IsIconic(dialog.m_hWnd) != FALSE;
            SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
            after(400, [&]() {
                HWND question = GetActiveWindow();
                box = visible_rect(question);
                PostMessageA(question, WM_COMMAND, IDC_CONFIRM_NO, 0);
            });
            PostMessageA(dialog.m_hWnd, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        },
        [&]() {
            ShowWindow(dialog.m_hWnd, SW_RESTORE);
            status = text_of(item(dialog, IDC_STATUS));
        });
    EXPECT_TRUE(iconic);
    EXPECT_TRUE(box.right > box.left && box.left >= work.left && box.top >= work.top && box.right <= work.right &&
                box.bottom <= work.bottom)
        << box.left << "," << box.top << " " << box.right << "," << box.bottom;
    EXPECT_EQ("Scanning completed", status);
}
