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

private:
    void stop_or_close(const char *caption);
    void update_horizontal_extent();
    HFONT searching_font = nullptr;
    DECLARE_MESSAGE_MAP()
};

// The brush of the window's white areas, made once.
extern HBRUSH white_brush;
