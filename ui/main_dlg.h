// The main window: the skinned, shaped dialog that introduces the tool,
// starts the one scan of the run, shows its report lines and status, lets
// the user stop it, and ends the program.
#pragma once
#include "engine/scan_state.h"
#include "ui/framework/framework.h"
#include "ui/skin_button.h"

class CMainDlg : public CDialog {
public:
    explicit CMainDlg(CWnd *parent = nullptr);
    ~CMainDlg() override;

    CButton list_frame;
    CExButton logo_button, ulink_button, dlink_button;
    CStatic searching_label, footer, title_line, notice_line;
    CExLabel subtitle_label;
    CExButton cancel_button;
    CButton scan_frame;
    CStatic status_line;
    CListBox results_list;
    CExButton x_button, download_button, scan_button, ok_button;
    HICON icon = nullptr;
    CBitmap skin_bitmap;
    CDC skin_dc;
    HGDIOBJ skin_dc_old = nullptr;
    HRGN shape_region = nullptr;
    BITMAP skin_info = {};

    void DoDataExchange(CDataExchange *dx) override;
    BOOL OnInitDialog() override;
    void OnOK() override {}  // Enter never closes the window
    void OnCancel() override { stop_or_close(app_title); }

    // Handlers
    LRESULT OnShowStatus(WPARAM, LPARAM);
    LRESULT OnAppendLine(WPARAM, LPARAM);
    LRESULT OnQueryEndSession(WPARAM, LPARAM);
    LRESULT OnQueryNewPalette(WPARAM, LPARAM);
    LRESULT OnPaletteChanged(WPARAM, LPARAM);
    LRESULT OnEnterSystemLoop(WPARAM, LPARAM);
    LRESULT OnExitSystemLoop(WPARAM, LPARAM);
    void OnTimer(UINT_PTR id);
    void OnPaint();
    void OnScan();
    void OnX() { stop_or_close("DialogBoxTitle"); }
    void OnDownload();
    HBRUSH OnCtlColor(CDC *dc, CWnd *control, UINT kind);
    void OnLButtonDown(UINT flags, CPoint point);
    void OnFinish() { CDialog::OnOK(); }
    void OnDlink();
    void OnUlink();

    // Whether the maker's product is installed (its registry value reads).
    static bool product_installed();

    // The status line is set at most once per status_frame_ms: a text that
    // arrives sooner waits (only the newest) for the frame's timer, the next
    // text after the frame, a question or the end of the scan. Puts a waiting
    // text on the status line; painted at once when paint_now.
    void show_pending_status(bool paint_now);
    enum : UINT { status_frame_ms = 16 };

private:
    void stop_or_close(const char *caption);
    void stop_scan();
    bool scan_started = false;
    bool asking_to_stop = false;
    // Loops not the window's own that run on this thread now (system move
    // and menu loops, a link being opened).
    int foreign_loops = 0;
    void update_horizontal_extent();
    HFONT searching_font = nullptr;
    HFONT text_font = nullptr;
    char pending_status[sizeof scan_state.status_text] = {};
    bool status_pending = false;
    bool status_ever_set = false;
    DWORD status_set_at = 0;
    bool status_timer_armed = false;
    DECLARE_MESSAGE_MAP()
};

// The brush of the window's white areas, made once.
extern HBRUSH white_brush;
