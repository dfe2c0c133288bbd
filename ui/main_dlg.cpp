// The main window.
#include "ui/main_dlg.h"

#include <cstdio>
#include <cstring>

#include "engine/directory_walker.h"
#include "engine/scan_driver.h"
#include "engine/scan_state.h"
#include "repair/registry_helpers.h"
#include "ui/confirm_dlg.h"
#include "ui/links.h"
#include "ui/resource.h"
#include "ui/window_shape.h"

HBRUSH white_brush = nullptr;

namespace {
const char family[] = "W32/Quelby";
const char notice_text[] = "Free from Brenvik Software. Use it on any number of computers.";
const char footer_text[] = "This program is a part of Orvanta antivirus software.";
enum : UINT { scan_timer = 100, status_timer = 101, lines_kept = 150 };

// main_dialog is only ever the main window.
void show_status_before_question() {
    if (main_dialog) static_cast<CMainDlg *>(main_dialog)->show_pending_status(true);
}
}  // namespace

BEGIN_MESSAGE_MAP(CMainDlg, CDialog)
    ON_MESSAGE(report_status_message, OnShowStatus)
    ON_MESSAGE(report_line_message, OnAppendLine)
    ON_MESSAGE(WM_QUERYENDSESSION, OnQueryEndSession)
    ON_MESSAGE(WM_QUERYNEWPALETTE, OnQueryNewPalette)
    ON_MESSAGE(WM_PALETTECHANGED, OnPaletteChanged)
    ON_MESSAGE(WM_ENTERSIZEMOVE, OnEnterSystemLoop)
    ON_MESSAGE(WM_EXITSIZEMOVE, OnExitSystemLoop)
    ON_MESSAGE(WM_ENTERMENULOOP, OnEnterSystemLoop)
    ON_MESSAGE(WM_EXITMENULOOP, OnExitSystemLoop)
    ON_WM_TIMER()
    ON_WM_PAINT()
    ON_BN_CLICKED(IDC_SCAN, OnScan)
    ON_BN_CLICKED(IDC_X, OnX)
    ON_BN_CLICKED(IDC_DOWNLOAD, OnDownload)
    ON_WM_CTLCOLOR()
    ON_WM_MOVE()
    ON_WM_LBUTTONDOWN()
    ON_WM_LBUTTONUP()
    ON_BN_CLICKED(IDC_OK, OnFinish)
    ON_BN_CLICKED(IDC_DLINK, OnDlink)
    ON_BN_CLICKED(IDC_ULINK, OnUlink)
END_MESSAGE_MAP()

CMainDlg::CMainDlg(CWnd *parent) : CDialog(IDD_MAIN, parent) {
    icon = ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));
}

CMainDlg::~CMainDlg() {
    if (main_dialog == this) {
        main_dialog = nullptr;
        before_confirm_box = nullptr;
    }
    if (searching_font) ::DeleteObject(searching_font);
    if (text_font) ::DeleteObject(text_font);
}

void CMainDlg::DoDataExchange(CDataExchange *dx) {
    DDX_Control(dx, IDC_LIST_FRAME, list_frame);
    DDX_Control(dx, IDC_LOGO, logo_button);
    DDX_Control(dx, IDC_ULINK, ulink_button);
    DDX_Control(dx, IDC_DLINK, dlink_button);
    DDX_Control(dx, IDC_SEARCHING, searching_label);
    DDX_Control(dx, IDC_FOOTER, footer);
    DDX_Control(dx, IDC_TITLE, title_line);
    DDX_Control(dx, IDC_NOTICE, notice_line);
    DDX_Control(dx, IDC_SUBTITLE, subtitle_label);
    DDX_Control(dx, IDCANCEL, cancel_button);
    DDX_Control(dx, IDC_SCAN_FRAME, scan_frame);
    DDX_Control(dx, IDC_STATUS, status_line);
    DDX_Control(dx, IDC_RESULTS, results_list);
    DDX_Control(dx, IDC_X, x_button);
    DDX_Control(dx, IDC_DOWNLOAD, download_button);
    DDX_Control(dx, IDC_SCAN, scan_button);
    DDX_Control(dx, IDC_OK, ok_button);
}

bool CMainDlg::product_installed() {
    char value[300];
    std::memset(value, 0, sizeof value);
    return read_registry_value(HKEY_LOCAL_MACHINE, "Software\\Brenvik\\Orvanta 2000", "Installed Folder", value,
                               sizeof value) == 1;
}

BOOL CMainDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    for (CWnd *w : {(CWnd *)&status_line, (CWnd *)&scan_frame, (CWnd *)&searching_label, (CWnd *)&results_list,
                    (CWnd *)&list_frame, (CWnd *)&cancel_button})
        w->ShowWindow(SW_HIDE);
    ok_button.EnableWindow(FALSE);
    ok_button.ShowWindow(SW_HIDE);
    main_dialog = this;
    before_confirm_box = show_status_before_question;

    LOGFONTA lf;
    std::memset(&lf, 0, sizeof lf);
    HFONT window_font = GetFont();
    ::GetObjectA(window_font ? (HGDIOBJ)window_font : ::GetStockObject(SYSTEM_FONT), sizeof lf, &lf);
    lf.lfHeight = 15;
    lf.lfWeight = FW_BOLD;
    lf.lfUnderline = FALSE;
    lf.lfItalic = FALSE;
    label_font.CreateFontIndirect(&lf);

    char text[260];
    std::snprintf(text, sizeof text, "%s%s%s%s", app_title, " - Tool to detect and remove all the variants of ",
                  family, " Trojan ");
    title_line.SetWindowText(text);
    std::snprintf(text, sizeof text, "for %s", family);
    std::strncat(text, " Trojan ", sizeof text - std::strlen(text) - 1);
    subtitle_label.SetWindowText(text);
    notice_line.SetWindowText(notice_text);
    footer.SetWindowText(footer_text);

    HDC screen = ::GetDC(m_hWnd);
    large_fonts = ::GetDeviceCaps(screen, LOGPIXELSX) >= 120 ? 1 : 0;
    ::ReleaseDC(m_hWnd, screen);

    scale_child_windows(m_hWnd, 600, 337);
    MoveWindow(0, 0, 600, 462, TRUE);
    // The controls now have the skin's pixel sizes whatever the screen's
    // pixels per inch; their texts get the pixel size of the window's font
    // at 96 pixels per inch, which those sizes were made for (with large
    // fonts the dialog font is a quarter larger and would wrap or clip).
    {
        HDC dc = ::GetDC(m_hWnd);
        int dpi = ::GetDeviceCaps(dc, LOGPIXELSY);
        ::ReleaseDC(m_hWnd, dc);
        LOGFONTA tf;
        std::memset(&tf, 0, sizeof tf);
        ::GetObjectA(window_font ? (HGDIOBJ)window_font : ::GetStockObject(SYSTEM_FONT), sizeof tf, &tf);
        if (dpi > 0) tf.lfHeight = tf.lfHeight * 96 / dpi;
        tf.lfWidth = 0;
        text_font = ::CreateFontIndirectA(&tf);
        if (text_font)
            for (CWnd *w : {(CWnd *)&title_line, (CWnd *)&notice_line, (CWnd *)&footer, (CWnd *)&status_line,
                            (CWnd *)&scan_frame, (CWnd *)&list_frame, (CWnd *)&results_list})
                w->SetFont(text_font, FALSE);
    }

    if (product_installed()) {
        dlink_button.EnableWindow(FALSE);
        dlink_button.ShowWindow(SW_HIDE);
        download_button.EnableWindow(FALSE);
    } else {
        footer.ShowWindow(SW_HIDE);
    }

    white_brush = ::CreateSolidBrush(RGB(255, 255, 255));
    SendMessage(WM_SETICON, ICON_BIG, (LPARAM)icon);
    SendMessage(WM_SETICON, ICON_SMALL, (LPARAM)icon);
    ::SetWindowLongA(m_hWnd, GWL_STYLE, ::GetWindowLongA(m_hWnd, GWL_STYLE) | WS_MINIMIZEBOX | WS_SYSMENU);

    // A DIB section keeps the skin's exact colours at every display depth
    // (a device bitmap at 16 bits per pixel may turn the magenta key into a
    // near magenta, and the window would lose its shape).
    skin_bitmap.Attach(::LoadImageA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDB_SKIN), IMAGE_BITMAP, 0, 0,
                                    LR_CREATEDIBSECTION));
    shape_region = region_from_bitmap(skin_bitmap, 0xFF00FF, 1);
    if (shape_region) set_client_region(m_hWnd, shape_region);
    // Centred on the screen by what shows of it (the skin), not by the
    // larger window rectangle.
    centre_visible_over(m_hWnd, nullptr);
    skin_bitmap.GetBitmap(&skin_info);
    skin_dc.CreateCompatibleDC(nullptr);
    skin_dc_old = skin_dc.SelectObject(&skin_bitmap);

    ok_button.skin_from_caption(IDC_OK, this);
    cancel_button.skin_from_caption(IDCANCEL, this);
    scan_button.skin_from_caption(IDC_SCAN, this);
    download_button.skin_from_caption(IDC_DOWNLOAD, this);
    x_button.skin_from_caption(IDC_X, this);
    ulink_button.skin_from_caption(IDC_ULINK, this);
    dlink_button.skin_from_caption(IDC_DLINK, this);
    logo_button.skin_from_caption(IDC_LOGO, this);

    // On a display of 256 colours the art is drawn through a palette of its
    // own colours: through the 20 static colours alone the blues of the
    // skin and of SCAN and DOWNLOAD turn black.
    HDC screen_dc = ::GetDC(nullptr);
    bool palette_display = (::GetDeviceCaps(screen_dc, RASTERCAPS) & RC_PALETTE) != 0;
    ::ReleaseDC(nullptr, screen_dc);
    if (palette_display && !skin_palette) {
        HBITMAP art[] = {skin_bitmap,
                         scan_button.focus_bitmap,     scan_button.notfocus_bitmap,     scan_button.disable_bitmap,
                         download_button.focus_bitmap, download_button.notfocus_bitmap, download_button.disable_bitmap,
                         ok_button.focus_bitmap,       ok_button.notfocus_bitmap,       cancel_button.focus_bitmap,
                         cancel_button.notfocus_bitmap, x_button.focus_bitmap,          x_button.notfocus_bitmap};
        // (The skin's colour table is read outside skin_dc: a bitmap is
        // selected into one device context at a time.)
        skin_dc.SelectObject(skin_dc_old);
        skin_palette = palette_from_bitmaps(art, (int)(sizeof art / sizeof art[0]));
        skin_dc_old = skin_dc.SelectObject(&skin_bitmap);
    }

    SetWindowText(app_title);
    for (CExButton *b : {&scan_button, &x_button, &download_button, &ok_button, &cancel_button, &dlink_button,
                         &ulink_button})
        load_link_cursor(*b);
    return TRUE;
}

void CMainDlg::OnScan() {
    // One scan a run: a SCAN command that arrives while the scan runs (the
    // pump dispatches whatever is queued) or after it must not start the
    // driver again.
    if (scan_started) return;
    scan_started = true;
    scan_state.scan_running = 1;
    scan_button.EnableWindow(FALSE);
    ulink_button.EnableWindow(FALSE);
    ulink_button.ShowWindow(SW_HIDE);
    dlink_button.EnableWindow(FALSE);
    dlink_button.ShowWindow(SW_HIDE);
    cancel_button.EnableWindow(TRUE);
    cancel_button.ShowWindow(SW_SHOW);
    ok_button.EnableWindow(TRUE);
    title_line.ShowWindow(SW_HIDE);
    footer.ShowWindow(SW_HIDE);
    notice_line.ShowWindow(SW_HIDE);
    for (CWnd *w : {(CWnd *)&searching_label, (CWnd *)&results_list, (CWnd *)&status_line, (CWnd *)&scan_frame,
                    (CWnd *)&list_frame})
        w->ShowWindow(SW_SHOW);
    scan_frame.SetWindowText("Scanning");
    cancel_button.ShowWindow(SW_SHOW);
    char text[260];
    std::snprintf(text, sizeof text, "%s%s%s", "Searching for ", family, " Trojan and its variants");
    searching_label.SetWindowText(text);
    if (!searching_font)
        searching_font = ::CreateFontA(15, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, 0, OUT_DEFAULT_PRECIS,
                                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FF_SWISS, "Arial");
    searching_label.SetFont(searching_font, TRUE);
    std::strcpy(scan_state.scan_target, "!:");
    scan_state.report_window = m_hWnd;
    scan_state.disposition_choice = 100;
    SetTimer(scan_timer, 100);
}

void CMainDlg::OnTimer(UINT_PTR id) {
    if (id == status_timer) {
        KillTimer(status_timer);
        status_timer_armed = false;
        show_pending_status(false);
        return;
    }
    Default();
    // The scan runs inside this tick and pumps the queue itself: started from
    // another loop (the system's move or menu loop, the wait inside a link's
    // ShellExecuteA), it would take that loop's messages. The timer stays
    // armed, and the first tick after that loop starts the scan.
    if (foreign_loops > 0) return;
    KillTimer(scan_timer);
    scan_state.scan_terminated = 0;
    scan_driver();
    show_pending_status(true);
    cancel_button.ShowWindow(SW_HIDE);
    ok_button.ShowWindow(SW_SHOW);
    // The focus was on SCAN or DOWNLOAD; OK is what Enter and Space should
    // press now.
    SendMessage(WM_NEXTDLGCTL, (WPARAM)ok_button.m_hWnd, TRUE);
    searching_label.ShowWindow(SW_HIDE);
    scan_frame.SetWindowText("");
    scan_state.scan_running = 0;
}

LRESULT CMainDlg::OnAppendLine(WPARAM, LPARAM) {
    if (results_list.GetCount() >= (int)lines_kept && !scan_state.scan_finished) results_list.ResetContent();
    results_list.AddString(scan_state.report_line);
    int n = results_list.GetCount();
    results_list.SetCurSel(n > 2 ? n - 1 : n);
    update_horizontal_extent();
    return 0;
}

void CMainDlg::update_horizontal_extent() {
    HDC dc = ::GetDC(results_list.m_hWnd);
    int widest = 0;
    for (int i = 0; i < results_list.GetCount(); ++i) {
        CString line = results_list.GetText(i);
        SIZE size = {0, 0};
        ::GetTextExtentPoint32A(dc, line.c_str(), (int)line.size(), &size);
        if (size.cx > widest) widest = size.cx;
    }
    ::ReleaseDC(results_list.m_hWnd, dc);
    if (results_list.GetHorizontalExtent() < widest && widest > 560) results_list.SetHorizontalExtent(widest * 3 / 4);
}

namespace {
// Milliseconds for timing display frames: the performance counter where
// there is one (the tick count would hold a text back for several frames),
// the tick count otherwise.
DWORD frame_clock_ms() {
    DWORD now;
    return precise_clock_ms(&now) ? now : ::GetTickCount();
}
}  // namespace

// Called for every entry of the walk: only a copy of the text, unless a frame
// has passed since the status line was last set. The closing texts come
// after scan_finished and are shown and painted at once.
LRESULT CMainDlg::OnShowStatus(WPARAM, LPARAM) {
    std::memcpy(pending_status, scan_state.status_text, sizeof pending_status);
    pending_status[sizeof pending_status - 1] = 0;
    status_pending = true;
    DWORD since = frame_clock_ms() - status_set_at;  // unsigned: the clock wraps
    if (scan_state.scan_finished) {
        show_pending_status(true);
    } else if (!status_ever_set || since >= status_frame_ms) {
        show_pending_status(false);
    } else if (!status_timer_armed) {
        status_timer_armed = SetTimer(status_timer, status_frame_ms - since) != 0;
    }
    return 0;
}

namespace {
// Shortens text in place, keeping its start and end around "...", until it
// fits on one line of the control (a path with spaces would otherwise wrap
// and hide its end).
void fit_to_control(HWND control, char *text) {
    HDC dc = ::GetDC(control);
    if (!dc) return;
    HGDIOBJ font = (HGDIOBJ)::SendMessageA(control, WM_GETFONT, 0, 0);
    HGDIOBJ old = font ? ::SelectObject(dc, font) : nullptr;
    RECT client;
    ::GetClientRect(control, &client);
    auto width_of = [dc](const char *t, int n) {
        SIZE size = {0, 0};
        ::GetTextExtentPoint32A(dc, t, n, &size);
        return (int)size.cx;
    };
    int n = (int)std::strlen(text);
    if (width_of(text, n) > client.right) {
        // The most characters kept, half from each end, that fit.
        char candidate[sizeof scan_state.status_text + 4];
        char best[sizeof candidate] = "...";
        int low = 0, high = n - 4;  // never longer than the text was
        while (low <= high) {
            int kept = (low + high) / 2, head = (kept + 1) / 2, tail = kept / 2;
            std::memcpy(candidate, text, (size_t)head);
            std::memcpy(candidate + head, "...", 3);
            std::memcpy(candidate + head + 3, text + n - tail, (size_t)tail);
            candidate[head + 3 + tail] = 0;
            if (width_of(candidate, kept + 3) <= client.right) {
                std::memcpy(best, candidate, (size_t)kept + 4);
                low = kept + 1;
            } else {
                high = kept - 1;
            }
        }
        std::strcpy(text, best);
    }
    if (old) ::SelectObject(dc, old);
    ::ReleaseDC(control, dc);
}
}  // namespace

void CMainDlg::show_pending_status(bool paint_now) {
    if (!status_pending) return;
    status_pending = false;
    fit_to_control(status_line.m_hWnd, pending_status);
    status_line.SetWindowText(pending_status);
    status_ever_set = true;
    status_set_at = frame_clock_ms();
    if (paint_now) ::UpdateWindow(status_line.m_hWnd);
}

void CMainDlg::stop_or_close(const char *caption) {
    if (scan_state.scan_running == 0) {
        CDialog::OnCancel();
        return;
    }
    // A request that reaches the window while its question is open (a click
    // the window should not have had) asks nothing more.
    if (asking_to_stop) return;
    asking_to_stop = true;
    int answer = ConfirmBox("Terminate the Scan now?", caption, MB_YESNO | MB_ICONQUESTION);
    asking_to_stop = false;
    if (answer == IDYES) stop_scan();
}

void CMainDlg::stop_scan() {
    cancel_button.ShowWindow(SW_HIDE);
    ok_button.ShowWindow(SW_SHOW);
    scan_state.scan_terminated = 1;
}

// The end of the session while a scan runs is refused, and the scan stops at
// its next entry as after a confirmed stop: the scan ends as it does when
// the user stops it, with its statistics and, when a file waits for deletion
// at restart, the restart question, and no file or registry change is cut
// off halfway. The user can end the session again once it has stopped.
// There is no question: the system waits for the answer.
LRESULT CMainDlg::OnQueryEndSession(WPARAM, LPARAM) {
    if (!scan_state.scan_running) return Default();
    stop_scan();
    return FALSE;
}

void CMainDlg::OnDownload() {
    ++foreign_loops;
    open_product_page();
    --foreign_loops;
}
void CMainDlg::OnDlink() {
    ++foreign_loops;
    open_product_page();
    --foreign_loops;
}
void CMainDlg::OnUlink() {
    ++foreign_loops;
    open_tools_page();
    --foreign_loops;
}

LRESULT CMainDlg::OnEnterSystemLoop(WPARAM, LPARAM) {
    ++foreign_loops;
    return Default();
}

LRESULT CMainDlg::OnExitSystemLoop(WPARAM, LPARAM) {
    if (foreign_loops > 0) --foreign_loops;
    return Default();
}

HBRUSH CMainDlg::OnCtlColor(CDC *dc, CWnd *control, UINT kind) {
    HBRUSH brush = CDialog::OnCtlColor(dc, control, kind);
    dc->SetBkMode(TRANSPARENT);
    if (control && control->m_hWnd == subtitle_label.m_hWnd) return brush;
    if (kind == CTLCOLOR_DLG || kind == CTLCOLOR_STATIC) {
        // The text colour of the fixed white ground, whatever the system's
        // colours are (white text in High Contrast Black).
        dc->SetTextColor(RGB(0, 0, 0));
        return white_brush;
    }
    return brush;
}

void CMainDlg::OnPaint() {
    CPaintDC dc(m_hWnd);
    HPALETTE palette = use_skin_palette(dc, FALSE);
    dc.BitBlt(0, 0, skin_info.bmWidth, skin_info.bmHeight, &skin_dc, 0, 0, SRCCOPY);
    if (palette) ::SelectPalette(dc, palette, FALSE);
}

// The window in front realizes the skin's palette; when that changes the
// system's colours, everything is drawn again with them.
LRESULT CMainDlg::OnQueryNewPalette(WPARAM, LPARAM) {
    if (!skin_palette) return Default();
    HDC dc = ::GetDC(m_hWnd);
    HPALETTE old = ::SelectPalette(dc, skin_palette, FALSE);
    UINT changed = ::RealizePalette(dc);
    ::SelectPalette(dc, old, FALSE);
    ::ReleaseDC(m_hWnd, dc);
    if (changed) ::RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
    return TRUE;
}

LRESULT CMainDlg::OnPaletteChanged(WPARAM wparam, LPARAM) {
    if (!skin_palette || (HWND)wparam == m_hWnd) return Default();
    ::RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
    return 0;
}

void CMainDlg::OnLButtonDown(UINT flags, CPoint point) {
    PostMessage(WM_NCLBUTTONDOWN, HTCAPTION, MAKELPARAM(point.x, point.y));
    CWnd::OnLButtonDown(flags, point);
}
