// The windows under Wine in a virtual display: window shape, child scaling,
// the confirmation box's layout and results, skinned buttons, the link
// cursor, and the main window's report handling and states.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/scan_state.h"
#include "ui/confirm_dlg.h"
#include "ui/links.h"
#include "ui/main_dlg.h"
#include "ui/resource.h"
#include "ui/skin_button.h"
#include "ui/window_shape.h"

namespace {

// A 32-bit top-down bitmap from rows of 0xRRGGBB values.
HBITMAP make_bitmap(int w, int h, const std::function<COLORREF(int, int)> &pixel) {
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void *bits = nullptr;
    HBITMAP bm = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    DWORD *p = (DWORD *)bits;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) p[y * w + x] = pixel(x, y) & 0xFFFFFF;
    return bm;
}

// The region of exactly the pixels for which keep(x, y), one rectangle each.
HRGN pixel_region(int w, int h, const std::function<bool(int, int)> &keep) {
    HRGN r = CreateRectRgn(0, 0, 0, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (keep(x, y)) {
                HRGN p = CreateRectRgn(x, y, x + 1, y + 1);
                CombineRgn(r, r, p, RGN_OR);
                DeleteObject(p);
            }
    return r;
}

const COLORREF magenta_pixel = 0xFF00FF;

// Runs check on the first timer tick of a modal loop started by run().
struct in_modal_loop {
    static std::function<void()> action;
    static void CALLBACK tick(HWND, UINT, UINT_PTR id, DWORD) {
        KillTimer(nullptr, id);
        std::function<void()> a = action;
        action = nullptr;
        if (a) a();
    }
    static void arm(std::function<void()> a, UINT delay = 150) {
        action = a;
        SetTimer(nullptr, 0, delay, tick);
    }
};
std::function<void()> in_modal_loop::action;

HWND active_box() { return GetActiveWindow(); }

// Answers Yes to a box that a test failed to close, so that it fails
// instead of waiting for ever.
void CALLBACK answer_yes_late(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    PostMessageA(active_box(), WM_COMMAND, IDC_CONFIRM_YES, 0);
}

RECT rect_of(HWND w) {
    RECT r;
    GetWindowRect(w, &r);
    return r;
}

}  // namespace

TEST(WindowShape, RegionsFromBitmaps) {
    const int w = 7, h = 5;
    HBITMAP plain = make_bitmap(w, h, [](int, int) { return 0x336699; });
    HRGN r = region_from_bitmap(plain, magenta_pixel, 1);
    ASSERT_TRUE(r);
    HRGN full = CreateRectRgn(0, 0, w, h);
    EXPECT_TRUE(EqualRgn(r, full));

    HBITMAP all_key = make_bitmap(w, h, [](int, int) { return magenta_pixel; });
    HRGN empty = region_from_bitmap(all_key, magenta_pixel, 1);
    ASSERT_TRUE(empty) << "an empty region, not null";
    RECT box;
    EXPECT_EQ(NULLREGION, GetRgnBox(empty, &box));

    auto stripes = [](int x, int y) { return (x + y) % 2 ? magenta_pixel : (COLORREF)0x00FF00; };
    HBITMAP striped = make_bitmap(w, h, stripes);
    HRGN kept = region_from_bitmap(striped, magenta_pixel, 1);
    HRGN want_kept = pixel_region(w, h, [](int x, int y) { return (x + y) % 2 == 0; });
    EXPECT_TRUE(EqualRgn(kept, want_kept));
    HRGN keys = region_from_bitmap(striped, magenta_pixel, 0);
    HRGN want_keys = pixel_region(w, h, [](int x, int y) { return (x + y) % 2 == 1; });
    EXPECT_TRUE(EqualRgn(keys, want_keys));
    HRGN high_byte = region_from_bitmap(striped, 0x7FFF00FF, 1);
    EXPECT_TRUE(EqualRgn(high_byte, want_kept));
    for (HGDIOBJ o : {(HGDIOBJ)plain, (HGDIOBJ)r, (HGDIOBJ)full, (HGDIOBJ)all_key, (HGDIOBJ)empty,
                      (HGDIOBJ)striped, (HGDIOBJ)kept, (HGDIOBJ)want_kept, (HGDIOBJ)keys, (HGDIOBJ)want_keys,
                      (HGDIOBJ)high_byte})
        DeleteObject(o);
}

TEST(WindowShape, MoreThan2000RunsMergeToTheSameRegion) {
    const int w = 120, h = 40;  // 60 runs a row, 2400 in all
    auto stripes = [](int x, int) { return x % 2 ? magenta_pixel : (COLORREF)0x102030; };
    HBITMAP bm = make_bitmap(w, h, stripes);
    HRGN r = region_from_bitmap(bm, magenta_pixel, 1);
    HRGN want = pixel_region(w, h, [](int x, int) { return x % 2 == 0; });
    EXPECT_TRUE(EqualRgn(r, want));
    DeleteObject(bm);
    DeleteObject(r);
    DeleteObject(want);
}

TEST(WindowShape, ChildScalingDividesScreenCoordinates) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "PellmarkScaleTest";
    RegisterClassA(&wc);
    HWND parent = CreateWindowA("PellmarkScaleTest", "", WS_POPUP, 0, 0, 300, 337, nullptr, nullptr,
                                wc.hInstance, nullptr);
    HWND child = CreateWindowA("STATIC", "", WS_CHILD, 60, 30, 60, 16, parent, nullptr, wc.hInstance, nullptr);
    RECT before = rect_of(child);
    ASSERT_EQ(60, before.left);
    ASSERT_EQ(30, before.top);
    scale_child_windows(parent, 600, 337);  // ratios 0.5 and 1.0
    RECT after = rect_of(child);
    EXPECT_EQ(120, after.left);
    EXPECT_EQ(30, after.top);
    EXPECT_EQ(240, after.right);
    EXPECT_EQ(46, after.bottom);
    DestroyWindow(parent);
}

TEST(ConfirmBox, StyleChoosesSetAndPicture) {
    struct Case { UINT style; int ok_only, ok_cancel, yes_no, picture; } cases[] = {
        {0, 1, 0, 0, 154},    {0x24, 0, 0, 1, 153}, {0x41, 0, 1, 0, 152}, {3, 0, 1, 0, 154},
        {0x30, 1, 0, 0, 154}, {0x10, 1, 0, 0, 155}, {0x34, 0, 0, 1, 154},
    };
    for (const Case &c : cases) {
        CConfirmDlg box;
        box.configure(c.style);
        EXPECT_EQ(c.ok_only, box.ok_only) << c.style;
        EXPECT_EQ(c.ok_cancel, box.ok_cancel) << c.style;
        EXPECT_EQ(c.yes_no, box.yes_no) << c.style;
        EXPECT_EQ(c.picture, box.icon_bitmap) << c.style;
    }
    EXPECT_EQ(10, CConfirmDlg::layout_for(23).a);
    EXPECT_EQ(12, CConfirmDlg::layout_for(23).b);
    EXPECT_EQ(7, CConfirmDlg::layout_for(23).h);
    EXPECT_EQ(50, CConfirmDlg::layout_for(95).b);
    EXPECT_EQ(28, CConfirmDlg::layout_for(95).h);
    EXPECT_EQ(87, CConfirmDlg::layout_for(185).b);
    EXPECT_EQ(49, CConfirmDlg::layout_for(185).h);
}

TEST(ConfirmBox, ResultsOfEveryWayOut) {
    struct Case { UINT style; std::function<void(HWND)> act; int want; const char *name; } cases[] = {
        {0x24, [](HWND b) { PostMessageA(b, WM_COMMAND, IDC_CONFIRM_YES, 0); }, IDYES, "yes"},
        {0x24, [](HWND b) { PostMessageA(b, WM_COMMAND, IDC_CONFIRM_NO, 0); }, IDNO, "no"},
        {0, [](HWND b) { PostMessageA(b, WM_COMMAND, IDC_CONFIRM_OK, 0); }, IDOK, "lone ok"},
        {0x41, [](HWND b) { PostMessageA(b, WM_COMMAND, IDOK, 0); }, IDOK, "ok"},
        {0x41, [](HWND b) { PostMessageA(b, WM_COMMAND, IDCANCEL, 0); }, IDCANCEL, "cancel"},
        {0x24, [](HWND b) { PostMessageA(GetFocus() ? GetFocus() : b, WM_KEYDOWN, VK_ESCAPE, 0); }, IDNO, "esc yes/no"},
        {0, [](HWND b) { PostMessageA(GetFocus() ? GetFocus() : b, WM_KEYDOWN, VK_ESCAPE, 0); }, IDCANCEL, "esc ok"},
        {0x24, [](HWND b) { PostMessageA(b, WM_SYSCOMMAND, SC_CLOSE, 0); }, IDNO, "close yes/no"},
        {0x24, [](HWND b) { PostMessageA(GetFocus() ? GetFocus() : b, WM_KEYDOWN, VK_RETURN, 0); }, IDOK, "enter"},
    };
    for (const Case &c : cases) {
        std::function<void(HWND)> act = c.act;
        in_modal_loop::arm([act]() { act(active_box()); });
        EXPECT_EQ(c.want, ConfirmBox("Terminate the Scan now?", "T", c.style)) << c.name;
    }
}

// Escape held down answers nothing: neither its auto-repeat nor, until its
// release, the press that was down when the box opened. A fresh press does.
TEST(ConfirmBox, HeldEscapeLeavesTheBoxOpen) {
    auto press = [](LPARAM lparam) {
        HWND b = active_box();
        PostMessageA(GetFocus() ? GetFocus() : b, WM_KEYDOWN, VK_ESCAPE, lparam);
    };
    for (bool held_at_open : {false, true}) {
        BYTE keys[256], held[256];
        GetKeyboardState(keys);
        std::memcpy(held, keys, sizeof held);
        held[VK_ESCAPE] = 0x80;
        if (held_at_open) SetKeyboardState(held);
        HWND box = nullptr;
        bool open_after_held_key = false;
        in_modal_loop::arm([&]() {
            box = active_box();
            press(held_at_open ? 0x00010001 : 0x40010001);
            press(0x40010001);
            in_modal_loop::arm([&]() {
                open_after_held_key = IsWindow(box) && IsWindowVisible(box);
                PostMessageA(GetFocus() ? GetFocus() : box, WM_KEYUP, VK_ESCAPE, 0xC0010001);
                press(0x00010001);
            }, 50);
        });
        UINT_PTR late = SetTimer(nullptr, 0, 30000, answer_yes_late);
        int answer = ConfirmBox("Terminate the Scan now?", "T", 0x24);
        KillTimer(nullptr, late);
        SetKeyboardState(keys);
        EXPECT_TRUE(open_after_held_key) << held_at_open;
        EXPECT_EQ(IDNO, answer) << held_at_open;
    }
}

TEST(ConfirmBox, LayoutGrowsWithTheText) {
    struct Measure { RECT box, text, icon, yes; std::string title; bool yes_shown, ok_shown; };
    auto measure = [](const std::string &text, const char *caption, UINT style) {
        Measure m = {};
        in_modal_loop::arm([&m]() {
            HWND b = active_box();
            m.box = rect_of(b);
            m.text = rect_of(GetDlgItem(b, IDC_CONFIRM_TEXT));
            m.icon = rect_of(GetDlgItem(b, IDC_CONFIRM_ICON));
            m.yes = rect_of(GetDlgItem(b, IDC_CONFIRM_YES));
            m.yes_shown = IsWindowVisible(GetDlgItem(b, IDC_CONFIRM_YES));
            m.ok_shown = IsWindowVisible(GetDlgItem(b, IDC_CONFIRM_OK));
            char t[128] = {0};
            GetWindowTextA(b, t, sizeof t);
            m.title = t;
            PostMessageA(b, WM_COMMAND, IDC_CONFIRM_NO, 0);
        });
        ConfirmBox(text.c_str(), caption, style);
        return m;
    };
    Measure m23 = measure(std::string(23, 'a'), "", 0x24);
    Measure m89 = measure(std::string(89, 'a'), "DialogBoxTitle", 0x24);
    Measure m90 = measure(std::string(90, 'a'), "", 0x24);
    Measure m95 = measure(std::string(95, 'a'), "", 0x24);
    Measure m185 = measure(std::string(185, 'a'), "", 0x24);
    auto width = [](const RECT &r) { return r.right - r.left; };
    auto height = [](const RECT &r) { return r.bottom - r.top; };
    EXPECT_EQ(50 - 12, width(m95.box) - width(m23.box));
    EXPECT_EQ(28 - 7, height(m95.box) - height(m23.box));
    EXPECT_EQ(87 - 12, width(m185.box) - width(m23.box));
    EXPECT_EQ(49 - 7, height(m185.box) - height(m23.box));
    // Buttons move right by half the growth.
    EXPECT_EQ(25 - 6, (m95.yes.left - m95.box.left) - (m23.yes.left - m23.box.left));
    EXPECT_EQ(43 - 6, (m185.yes.left - m185.box.left) - (m23.yes.left - m23.box.left));
    EXPECT_EQ(92, width(m23.yes));
    EXPECT_EQ(24, height(m23.yes));
    // The icon stays for 89 bytes and moves for 90.
    EXPECT_EQ(m23.icon.top - m23.box.top, m89.icon.top - m89.box.top);
    // (Moved by its own screen rectangle, so it shifts by the frame's width.)
    EXPECT_NE(m89.icon.left - m89.box.left, m90.icon.left - m90.box.left);
    EXPECT_EQ("Pellmark Ver 1.0", m23.title);
    EXPECT_EQ("DialogBoxTitle", m89.title);
    EXPECT_TRUE(m23.yes_shown);
    EXPECT_FALSE(m23.ok_shown);
    large_fonts = 1;
    Measure large = measure(std::string(23, 'a'), "", 0x24);
    large_fonts = 0;
    EXPECT_EQ(25, height(large.text) - height(m23.text));
}

class SkinnedButtonTest : public ::testing::Test {
protected:
    void SetUp() override {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "PellmarkButtonTest";
        RegisterClassA(&wc);
        parent = CreateWindowA("PellmarkButtonTest", "", WS_POPUP | WS_VISIBLE, 0, 0, 400, 200, nullptr, nullptr,
                               wc.hInstance, nullptr);
    }
    void TearDown() override { DestroyWindow(parent); }
    HWND add(const char *caption, int id) {
        return CreateWindowA("BUTTON", caption, WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, 10, 20, 30, 12, parent,
                             (HMENU)(INT_PTR)id, GetModuleHandleA(nullptr), nullptr);
    }
    HWND parent = nullptr;
};

TEST_F(SkinnedButtonTest, SizeImagesAndCursor) {
    add("SCAN", 1052);
    add("Cancel", 2);
    add("", 3);
    CWnd parent_wnd;
    parent_wnd.Attach(parent);
    CExButton scan, cancel, empty;
    EXPECT_EQ(1, scan.skin_from_caption(1052, &parent_wnd));
    RECT r = rect_of(scan.m_hWnd);
    EXPECT_EQ(180, r.right - r.left);
    EXPECT_EQ(33, r.bottom - r.top);
    EXPECT_EQ(10, r.left);  // the position stays
    EXPECT_EQ(20, r.top);
    EXPECT_EQ(1, cancel.skin_from_caption(2, &parent_wnd));  // "Cancel" finds CANCEL_*
    r = rect_of(cancel.m_hWnd);
    EXPECT_EQ(92, r.right - r.left);
    EXPECT_EQ(0, empty.skin_from_caption(3, &parent_wnd));

    EXPECT_EQ(&scan.notfocus_bitmap, scan.chosen_image(0));
    EXPECT_EQ(&scan.disable_bitmap, scan.chosen_image(ODS_DISABLED));
    EXPECT_EQ(&scan.notfocus_bitmap, scan.chosen_image(ODS_SELECTED | ODS_FOCUS));
    scan.highlighted = 1;
    EXPECT_EQ(&scan.focus_bitmap, scan.chosen_image(ODS_DISABLED));
    EXPECT_TRUE(scan.disable_bitmap.m_hObject);
    EXPECT_FALSE(cancel.disable_bitmap.m_hObject);

    load_link_cursor(scan);
    HCURSOR first = scan.link_cursor;
    load_link_cursor(scan);
    EXPECT_EQ(first, scan.link_cursor);
    parent_wnd.Detach();
}

// The main window, run modally, inspected from its own message loop.
class MainWindowTest : public ::testing::Test {};

TEST_F(MainWindowTest, StatesAndReportChannel) {
    std::memset(&scan_state, 0, sizeof scan_state);
    CMainDlg dialog(nullptr);
    std::vector<std::string> failures;
    auto expect = [&](bool ok, const std::string &what) {
        if (!ok) failures.push_back(what);
    };
    auto visible = [&](int id) { return IsWindowVisible(GetDlgItem(dialog.m_hWnd, id)) != FALSE; };
    auto enabled = [&](int id) { return IsWindowEnabled(GetDlgItem(dialog.m_hWnd, id)) != FALSE; };
    int selection_at_2 = -2, selection_at_3 = -2, count_at_151 = -1, count_after_finish = -1;
    int extent_narrow = -1;
    in_modal_loop::arm([&]() {
        // Introduction
        expect(visible(IDC_SCAN) && enabled(IDC_SCAN), "SCAN enabled");
        expect(!visible(IDC_OK) && !enabled(IDC_OK), "OK hidden, disabled");
        expect(!visible(IDCANCEL), "CANCEL hidden");
        expect(!visible(IDC_RESULTS) && !visible(IDC_STATUS), "list and status hidden");
        expect(visible(IDC_TITLE) && visible(IDC_NOTICE), "title and notice shown");
        expect(!visible(IDC_FOOTER), "footer hidden without the product");
        expect(visible(IDC_DLINK) && visible(IDC_ULINK), "links shown");
        char title[64] = {0};
        GetWindowTextA(dialog.m_hWnd, title, sizeof title);
        expect(std::string(title) == "Pellmark Ver 1.0", "title");
        RECT r = rect_of(GetDlgItem(dialog.m_hWnd, IDC_SCAN));
        expect(r.right - r.left == 180 && r.bottom - r.top == 33, "SCAN skinned");
        expect(GetFocus() == GetDlgItem(dialog.m_hWnd, IDC_SCAN), "focus on SCAN");
        expect(main_dialog == &dialog, "main_dialog");

        // The report channel, as the engine uses it.
        scan_state.report_window = dialog.m_hWnd;
        CListBox &list = dialog.results_list;
        for (int i = 1; i <= 3; ++i) {
            std::snprintf(scan_state.report_line, sizeof scan_state.report_line, "line %d", i);
            SendMessageA(dialog.m_hWnd, report_line_message, 0, 0);
            if (i == 2) selection_at_2 = list.GetCurSel();
            if (i == 3) selection_at_3 = list.GetCurSel();
        }
        extent_narrow = list.GetHorizontalExtent();
        for (int i = 4; i <= 151; ++i) SendMessageA(dialog.m_hWnd, report_line_message, 0, 0);
        count_at_151 = list.GetCount();
        scan_state.scan_finished = 1;
        for (int i = 0; i < 200; ++i) SendMessageA(dialog.m_hWnd, report_line_message, 0, 0);
        count_after_finish = list.GetCount();
        std::strcpy(scan_state.status_text, "C:\\somewhere");
        SendMessageA(dialog.m_hWnd, report_status_message, 0, 0);
        char status[64] = {0};
        GetDlgItemTextA(dialog.m_hWnd, IDC_STATUS, status, sizeof status);
        expect(std::string(status) == "C:\\somewhere", "status line");
        // Enter does nothing; Escape outside a scan closes without a question.
        SendMessageA(dialog.m_hWnd, WM_COMMAND, IDOK, 0);
        expect(IsWindow(dialog.m_hWnd) && IsWindowVisible(dialog.m_hWnd), "Enter ignored");
        PostMessageA(dialog.m_hWnd, WM_COMMAND, IDCANCEL, 0);
    }, 500);
    EXPECT_EQ(IDCANCEL, dialog.DoModal());
    for (const std::string &f : failures) ADD_FAILURE() << f;
    EXPECT_EQ(LB_ERR, selection_at_2) << "no selection for the first two lines";
    EXPECT_EQ(2, selection_at_3);
    EXPECT_EQ(0, extent_narrow);
    EXPECT_EQ(1, count_at_151) << "the 151st line empties the list";
    EXPECT_EQ(201, count_after_finish) << "statistics are never emptied away";
}

// What reached the status control (its texts, and whether each left it
// painted) and when a top-level window (a confirmation box) was created, in
// order.
namespace {
std::vector<std::string> status_events;
HWND spied_status;
WNDPROC status_proc;
std::string painted_state() { return GetUpdateRect(spied_status, nullptr, FALSE) ? " (unpainted)" : ""; }
LRESULT CALLBACK status_spy(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_SETTEXT) status_events.push_back(std::string("text ") + (const char *)lp);
    return CallWindowProcA(status_proc, h, msg, wp, lp);
}
LRESULT CALLBACK box_spy(int code, WPARAM wp, LPARAM lp) {
    if (code == HCBT_CREATEWND && !(((CBT_CREATEWNDA *)lp)->lpcs->style & WS_CHILD))
        status_events.push_back("box, status" + painted_state());
    return CallNextHookEx(nullptr, code, wp, lp);
}
void show_status_text(HWND dialog, const std::string &text) {
    std::strcpy(scan_state.status_text, text.c_str());
    SendMessageA(dialog, WM_ENABLE, 0, 0);
}
std::string status_of(HWND dialog) {
    char text[260] = {0};
    GetDlgItemTextA(dialog, IDC_STATUS, text, sizeof text);
    return text;
}
void pump_for(DWORD ms) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
        Sleep(2);
    }
}
}  // namespace

TEST_F(MainWindowTest, StatusLineSetAtMostOncePerFrameNewestFirstBeforeQuestionsAndAtTheEnd) {
    std::memset(&scan_state, 0, sizeof scan_state);
    CMainDlg dialog(nullptr);
    std::vector<std::string> failures;
    auto expect = [&](bool ok, const std::string &what) {
        if (!ok) failures.push_back(what);
    };
    DWORD burst_ms = 0;
    size_t burst_sets = 0;
    std::vector<std::string> burst_start, around_question, at_the_end;
    in_modal_loop::arm([&]() {
        HWND d = dialog.m_hWnd;
        scan_state.report_window = d;
        spied_status = GetDlgItem(d, IDC_STATUS);
        status_proc = (WNDPROC)SetWindowLongPtrA(spied_status, GWLP_WNDPROC, (LONG_PTR)status_spy);
        status_events.clear();

        // A walk's worth of entries: the first shows at once, then at most one a frame.
        DWORD start = GetTickCount();
        for (int i = 0; i < 3000; ++i) show_status_text(d, "C:\\entry" + std::to_string(i));
        burst_ms = GetTickCount() - start;
        burst_sets = status_events.size();
        burst_start.assign(status_events.begin(), status_events.begin() + std::min<size_t>(1, burst_sets));
        pump_for(100);
        expect(status_of(d) == "C:\\entry2999", "the newest text reaches the line within a frame: " + status_of(d));

        // A text still waiting when a question comes is on screen before the box opens.
        status_events.clear();
        show_status_text(d, "C:\\before-a");
        show_status_text(d, "C:\\before-b");
        HHOOK hook = SetWindowsHookExA(WH_CBT, box_spy, nullptr, GetCurrentThreadId());
        in_modal_loop::arm([]() { PostMessageA(active_box(), WM_COMMAND, IDC_CONFIRM_NO, 0); });
        ConfirmBox("Terminate the Scan now?", app_title, MB_YESNO | MB_ICONQUESTION);
        UnhookWindowsHookEx(hook);
        around_question.assign(status_events.begin(), status_events.begin() + std::min<size_t>(3, status_events.size()));

        // The closing text is set and painted at once, even within a frame of the last entry.
        status_events.clear();
        show_status_text(d, "C:\\last");
        scan_state.scan_finished = 1;
        show_status_text(d, "Scanning completed");
        at_the_end = status_events;
        expect(status_of(d) == "Scanning completed", "closing text at once");
        expect(painted_state().empty(), "closing text painted at once");
        SetWindowLongPtrA(spied_status, GWLP_WNDPROC, (LONG_PTR)status_proc);
        PostMessageA(d, WM_COMMAND, IDCANCEL, 0);
    }, 300);
    EXPECT_EQ(IDCANCEL, dialog.DoModal());
    for (const std::string &f : failures) ADD_FAILURE() << f;
    EXPECT_EQ((std::vector<std::string>{"text C:\\entry0"}), burst_start);
    EXPECT_LE(burst_sets, burst_ms / CMainDlg::status_frame_ms + 2) << burst_ms << " ms";
    EXPECT_EQ((std::vector<std::string>{"text C:\\before-a", "text C:\\before-b", "box, status"}), around_question);
    EXPECT_EQ((std::vector<std::string>{"text C:\\last", "text Scanning completed"}), at_the_end);
}

// The skin's non-magenta pixels, read from the resource's own bytes (an
// 8-bit bottom-up bitmap), one rectangle per run: the shape the window must
// have at any display depth.
HRGN skin_shape() {
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceA(self, MAKEINTRESOURCEA(IDB_SKIN), MAKEINTRESOURCEA(2));  // RT_BITMAP
    const BYTE *bytes = found ? (const BYTE *)LockResource(LoadResource(self, found)) : nullptr;
    if (!bytes) return nullptr;
    const BITMAPINFOHEADER *h = (const BITMAPINFOHEADER *)bytes;
    if (h->biBitCount != 8) return nullptr;
    const RGBQUAD *palette = (const RGBQUAD *)(bytes + h->biSize);
    const BYTE *pixels = (const BYTE *)(palette + (h->biClrUsed ? h->biClrUsed : 256));
    int w = h->biWidth, height = h->biHeight, row = (w + 3) & ~3;
    HRGN shape = CreateRectRgn(0, 0, 0, 0);
    for (int y = 0; y < height; ++y) {
        const BYTE *line = pixels + (height - 1 - y) * row;
        for (int x = 0; x < w;) {
            auto key = [&](int at) {
                const RGBQUAD &c = palette[line[at]];
                return c.rgbRed == 0xFF && c.rgbGreen == 0 && c.rgbBlue == 0xFF;
            };
            int start = x;
            while (x < w && !key(x)) ++x;
            if (x > start) {
                HRGN run = CreateRectRgn(start, y, x, y + 1);
                CombineRgn(shape, shape, run, RGN_OR);
                DeleteObject(run);
            }
            while (x < w && key(x)) ++x;
        }
    }
    return shape;
}

// The main window takes the skin's outline whatever the display's depth
// (this test also runs in a 16-bit display, where a device bitmap would
// turn the magenta key into a near magenta).
TEST_F(MainWindowTest, ShapeIsTheSkinOutlineAtThisDepth) {
    std::memset(&scan_state, 0, sizeof scan_state);
    CMainDlg dialog(nullptr);
    HRGN want = skin_shape();
    ASSERT_TRUE(want);
    HRGN got = CreateRectRgn(0, 0, 0, 0);
    int kind = ERROR, depth = 0;
    POINT client = {0, 0};
    in_modal_loop::arm([&]() {
        kind = GetWindowRgn(dialog.m_hWnd, got);
        // The window's region is in window coordinates: the skin's shape
        // moved by the border to where the client area starts.
        RECT frame;
        GetWindowRect(dialog.m_hWnd, &frame);
        ClientToScreen(dialog.m_hWnd, &client);
        client.x -= frame.left;
        client.y -= frame.top;
        HDC screen = GetDC(nullptr);
        depth = GetDeviceCaps(screen, BITSPIXEL);
        ReleaseDC(nullptr, screen);
        PostMessageA(dialog.m_hWnd, WM_COMMAND, IDCANCEL, 0);
    });
    dialog.DoModal();
    std::printf("display depth %d bits per pixel\n", depth);
    const char *wanted_depth = getenv("PELLMARK_EXPECT_DEPTH");
    if (wanted_depth) {
        EXPECT_EQ(atoi(wanted_depth), depth);
    }
    ASSERT_EQ(COMPLEXREGION, kind) << "the window has no shape";
    OffsetRgn(want, client.x, client.y);
    EXPECT_TRUE(EqualRgn(got, want));
    RECT box;
    GetRgnBox(got, &box);
    EXPECT_EQ(client.x, box.left);
    EXPECT_EQ(client.x + 527, box.right);
    DeleteObject(got);
    DeleteObject(want);
}

// With PELLMARK_SHOTS set, shows a box of each style and has the harness
// take a screenshot of it (shot-confirm-STYLE.png).
TEST(ConfirmBox, ScreenshotOfEachStyle) {
    if (!getenv("PELLMARK_SHOTS")) GTEST_SKIP() << "screenshots not asked for";
    struct Shot { UINT style; const char *name; const char *text; } shots[] = {
        {0x24, "yesno-question", "Terminate the Scan now?"},
        {0x41, "okcancel-information",
         "W32/Quelby.Trojan  found in memory! registry entries created by the worm are removed. You must restart "
         "the computer and run this program to continue scanning.\n\nRestart the computer now?"},
        {0x30, "ok-warning", "Nothing to restart."},
        {0x10, "ok-error", "Could not finish."},
    };
    for (const Shot &s : shots) {
        std::string name = s.name;
        in_modal_loop::arm([name]() {
            std::string request = "C:\\pellmark\\shot-confirm-" + name + ".request";
            std::string done = "C:\\pellmark\\shot-confirm-" + name + ".done";
            // Drawn whole first: the first box of a session can stand on
            // the screen before anything of it is painted, while the
            // virtual desktop is still being drawn.
            static int waits = 20;
            SetWindowPos(active_box(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
            SetForegroundWindow(active_box());
            RedrawWindow(active_box(), nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_UPDATENOW | RDW_ALLCHILDREN);
            for (int i = 0; i < waits; ++i) {
                if (i == waits / 2)
                    RedrawWindow(active_box(), nullptr, nullptr,
                                 RDW_INVALIDATE | RDW_FRAME | RDW_UPDATENOW | RDW_ALLCHILDREN);
                MSG m;
                while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
                Sleep(100);
            }
            waits = 5;
            // The harness crops the screenshot to the rectangle given.
            RECT r = visible_rect(active_box());
            FILE *f = std::fopen(request.c_str(), "w");
            if (f) {
                std::fprintf(f, "%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
                std::fclose(f);
            }
            for (int i = 0; i < 100 && GetFileAttributesA(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
                MSG m;
                while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
                Sleep(100);
            }
            PostMessageA(active_box(), WM_COMMAND, IDCANCEL, 0);
        }, 700);
        ConfirmBox(s.text, "", s.style);
    }
}

// A whole scan of the sandbox's C: in the main window: at the end the focus
// is on OK; the window is centred by what shows of it; along its outline the
// screen shows the skin's own pixels (no key colour, no border); the results
// list has only the styles it asks for; a question is centred over what
// shows of the main window.
TEST_F(MainWindowTest, FinishedScanFocusOutlineAndPlacement) {
    std::memset(&scan_state, 0, sizeof scan_state);
    CMainDlg dialog(nullptr);
    std::vector<std::string> failures;
    auto expect = [&](bool ok, const std::string &what) {
        if (!ok) failures.push_back(what);
    };
    std::function<void()> when_finished = [&]() {
        if (scan_state.scan_running || !IsWindowVisible(GetDlgItem(dialog.m_hWnd, IDC_OK))) {
            in_modal_loop::arm(when_finished, 200);
            return;
        }
        HWND ok = GetDlgItem(dialog.m_hWnd, IDC_OK);
        expect(GetFocus() == ok, "focus on OK at the end");

        HWND list = GetDlgItem(dialog.m_hWnd, IDC_RESULTS);
        LONG style = GetWindowLongA(list, GWL_STYLE), ex = GetWindowLongA(list, GWL_EXSTYLE);
        expect(!(style & WS_BORDER) && !(style & LBS_NOTIFY) && !(ex & WS_EX_CLIENTEDGE), "list styles");
        // (The list itself turns WS_VSCROLL and WS_HSCROLL on and off.)
        expect((style & LBS_USETABSTOPS) && (style & LBS_NOINTEGRALHEIGHT) && (style & WS_TABSTOP) &&
                   (ex & WS_EX_TRANSPARENT),
               "list keeps its own styles");

        RECT work, shown = visible_rect(dialog.m_hWnd);
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
        expect(shown.right - shown.left == dialog.skin_info.bmWidth &&
                   shown.bottom - shown.top == dialog.skin_info.bmHeight,
               "what shows is the skin's size");
        int dx = (shown.left - work.left) - (work.right - shown.right);
        int dy = (shown.top - work.top) - (work.bottom - shown.bottom);
        expect(dx >= -1 && dx <= 1 && dy >= -1 && dy <= 1, "centred on the screen");

        // The first and last shown pixel of every row, as the screen has it,
        // against the skin's pixel at the same client position.
        UpdateWindow(dialog.m_hWnd);
        GdiFlush();
        POINT origin = {0, 0};
        ClientToScreen(dialog.m_hWnd, &origin);
        RECT frame;
        GetWindowRect(dialog.m_hWnd, &frame);
        HRGN region = CreateRectRgn(0, 0, 0, 0);
        GetWindowRgn(dialog.m_hWnd, region);
        HDC screen = GetDC(nullptr);
        int wrong = 0, checked = 0;
        for (int y = 0; y < frame.bottom - frame.top; ++y) {
            int first = -1, last = -1;
            for (int x = 0; x < frame.right - frame.left; ++x)
                if (PtInRegion(region, x, y)) {
                    if (first < 0) first = x;
                    last = x;
                }
            for (int x : {first, last}) {
                if (x < 0) continue;
                int sx = frame.left + x, sy = frame.top + y;
                COLORREF on_screen = GetPixel(screen, sx, sy);
                COLORREF skin = GetPixel(dialog.skin_dc, sx - origin.x, sy - origin.y);
                ++checked;
                if (on_screen != skin || on_screen == RGB(255, 0, 255)) ++wrong;
            }
        }
        ReleaseDC(nullptr, screen);
        DeleteObject(region);
        expect(checked > 600, "outline has rows");
        expect(wrong == 0, "outline shows only skin pixels (" + std::to_string(wrong) + " of " +
                               std::to_string(checked) + " differ)");

        // A question, centred over what shows of the main window.
        in_modal_loop::arm([&]() {
            RECT box = visible_rect(active_box()), main = visible_rect(dialog.m_hWnd);
            int bx = (box.left - main.left) - (main.right - box.right);
            int by = (box.top - main.top) - (main.bottom - box.bottom);
            expect(bx >= -1 && bx <= 1 && by >= -1 && by <= 1, "question centred over the skin");
            PostMessageA(active_box(), WM_COMMAND, IDOK, 0);
        });
        ConfirmBox("Centred?", app_title, MB_OK | MB_ICONINFORMATION);
        PostMessageA(dialog.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_OK, BN_CLICKED), (LPARAM)ok);
    };
    in_modal_loop::arm([&]() {
        PostMessageA(dialog.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_SCAN, BN_CLICKED),
                     (LPARAM)GetDlgItem(dialog.m_hWnd, IDC_SCAN));
        in_modal_loop::arm(when_finished, 500);
    }, 500);
    EXPECT_EQ(IDOK, dialog.DoModal());
    for (const std::string &f : failures) ADD_FAILURE() << f;
}
