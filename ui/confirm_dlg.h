// The confirmation box: the program's own message box, skinned, with a
// picture, a text that sizes the box, and one of three button sets.
#pragma once
#include "ui/framework/framework.h"
#include "ui/skin_button.h"

// The box's picture control: draws the picture itself whenever it is
// painted, so that a repaint of the control alone (a window moved across
// it) does not lose the picture drawn there by the box.
class CPictureStatic : public CStatic {
public:
    int picture = 0;  // bitmap resource id
    void OnPaint();
    DECLARE_MESSAGE_MAP()
};

class CConfirmDlg : public CDialog {
public:
    CConfirmDlg();
    ~CConfirmDlg() override;

    CPictureStatic icon_control;
    NCExButton yes_button, ok_button, no_button, lone_ok_button, cancel_button;
    CStatic text_control;
    int icon_bitmap = 154;
    int ok_only = 0, ok_cancel = 0, yes_no = 0;
    CString text;
    CString caption;

    BOOL OnCommand(WPARAM wparam, LPARAM lparam) override { return CDialog::OnCommand(wparam, lparam); }
    void DoDataExchange(CDataExchange *dx) override;
    BOOL OnInitDialog() override;
    void OnOK() override { EndDialog(IDOK); }
    void OnCancel() override { EndDialog(yes_no ? IDNO : IDCANCEL); }

    void OnYes() { EndDialog(IDYES); }
    void OnNo() { EndDialog(IDNO); }
    void OnLoneOk() { EndDialog(IDOK); }
    void OnPaint();
    HBRUSH OnCtlColor(CDC *dc, CWnd *control, UINT kind);

    // Whether the box leaves this message from its loop unanswered: a
    // key-down of Escape that is the key's auto-repeat, or that comes from
    // the press already down when the box opened (which is not over until
    // its release).
    bool ignores_key(const MSG &msg);
    int escape_held = 0;

    // Picks the button set and the picture for message-box style bits.
    void configure(UINT style);

    // The layout values of a text of this length (the worked numbers).
    struct layout {
        int a, b, h;
    };
    static layout layout_for(size_t text_length);

private:
    CBrush background;
    DECLARE_MESSAGE_MAP()
};

// Placement: the main window the boxes centre over, and whether the screen
// uses large fonts. Set by the main window while it initialises.
extern CWnd *main_dialog;
extern int large_fonts;

// Called by ConfirmBox before a box opens, so that what the user is asked
// about is on screen first (the main window's pending status text); null
// when nothing needs it.
extern void (*before_confirm_box)();
