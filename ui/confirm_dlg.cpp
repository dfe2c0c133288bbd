// The confirmation box and ConfirmBox.
#include "ui/confirm_dlg.h"

#include "engine/scan_state.h"
#include "ui/resource.h"
#include "ui/window_shape.h"

CWnd *main_dialog = nullptr;
int large_fonts = 0;
void (*before_confirm_box)() = nullptr;

namespace {
const COLORREF box_colour = RGB(207, 233, 254);

void move_to(CWnd &w, int x, int y, int width, int height) { w.MoveWindow(x, y, width, height, TRUE); }

// The box whose modal loop runs (the innermost, should one open over
// another), and the filter that sees each message of that loop before the
// dialog manager turns Escape into IDCANCEL.
CConfirmDlg *open_box = nullptr;
HHOOK key_filter = nullptr;

LRESULT CALLBACK filter_box_keys(int code, WPARAM wparam, LPARAM lparam) {
    if (code == MSGF_DIALOGBOX && open_box && open_box->ignores_key(*(const MSG *)lparam)) return 1;
    return ::CallNextHookEx(key_filter, code, wparam, lparam);
}
}  // namespace

BEGIN_MESSAGE_MAP(CConfirmDlg, CDialog)
    ON_BN_CLICKED(IDC_CONFIRM_YES, OnYes)
    ON_WM_PAINT()
    ON_BN_CLICKED(IDC_CONFIRM_NO, OnNo)
    ON_BN_CLICKED(IDC_CONFIRM_OK, OnLoneOk)
    ON_WM_CTLCOLOR()
END_MESSAGE_MAP()

CConfirmDlg::CConfirmDlg() : CDialog(IDD_CONFIRM, nullptr) {}

CConfirmDlg::~CConfirmDlg() {}

void CConfirmDlg::DoDataExchange(CDataExchange *dx) {
    DDX_Control(dx, IDC_CONFIRM_ICON, icon_control);
    DDX_Control(dx, IDC_CONFIRM_YES, yes_button);
    DDX_Control(dx, IDOK, ok_button);
    DDX_Control(dx, IDC_CONFIRM_NO, no_button);
    DDX_Control(dx, IDC_CONFIRM_OK, lone_ok_button);
    DDX_Control(dx, IDCANCEL, cancel_button);
    DDX_Control(dx, IDC_CONFIRM_TEXT, text_control);
}

CConfirmDlg::layout CConfirmDlg::layout_for(size_t text_length) {
    layout l;
    l.a = 10 * (int)(text_length / 30) + 10;
    l.b = (int)(l.a * 1.25);
    l.h = l.a - l.b / 4;
    return l;
}

BOOL CConfirmDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    escape_held = ::GetKeyState(VK_ESCAPE) < 0;
    icon_control.picture = icon_bitmap;
    layout l = layout_for(text.size());
    RECT r;
    GetWindowRect(&r);
    MoveWindow(0, 0, (r.right - r.left) + l.b, (r.bottom - r.top) + l.h, TRUE);
    GetWindowRect(&r);
    int button_top = r.bottom - 65;

    text_control.GetWindowRect(&r);
    move_to(text_control, r.left, r.top - 25, (r.right - r.left) + l.b,
            (r.bottom - r.top) + l.h + (large_fonts ? 25 : 0));
    int icon_top = r.top - 30;

    for (NCExButton *b : {&lone_ok_button, &ok_button, &cancel_button, &yes_button, &no_button}) {
        b->GetWindowRect(&r);
        move_to(*b, r.left + l.b / 2, button_top, r.right - r.left, r.bottom - r.top);
    }
    lone_ok_button.ShowWindow(ok_only ? SW_SHOW : SW_HIDE);
    ok_button.ShowWindow(ok_cancel ? SW_SHOW : SW_HIDE);
    cancel_button.ShowWindow(ok_cancel ? SW_SHOW : SW_HIDE);
    yes_button.ShowWindow(yes_no ? SW_SHOW : SW_HIDE);
    no_button.ShowWindow(yes_no ? SW_SHOW : SW_HIDE);

    ok_button.skin_from_caption(IDOK, this);
    lone_ok_button.skin_from_caption(IDC_CONFIRM_OK, this);
    cancel_button.skin_from_caption(IDCANCEL, this);
    yes_button.skin_from_caption(IDC_CONFIRM_YES, this);
    no_button.skin_from_caption(IDC_CONFIRM_NO, this);

    if (l.a > 30) {
        icon_control.GetWindowRect(&r);
        move_to(icon_control, r.left, icon_top, r.right - r.left, r.bottom - r.top);
    }
    text_control.SetWindowText(text.c_str());
    SetWindowText(caption.empty() ? app_title : caption.c_str());
    // Over what shows of the main window: its skin is smaller than its
    // window rectangle.
    if (main_dialog) centre_visible_over(m_hWnd, main_dialog->m_hWnd);
    return TRUE;
}

// The box draws nothing of its own: its picture control paints the picture
// with every paint of the box (the control's area is part of the box's).
void CConfirmDlg::OnPaint() { CPaintDC dc(m_hWnd); }

BEGIN_MESSAGE_MAP(CPictureStatic, CStatic)
    ON_WM_PAINT()
END_MESSAGE_MAP()

// Loaded and freed at every paint.
void CPictureStatic::OnPaint() {
    CPaintDC dc(m_hWnd);
    HBITMAP image = picture ? (HBITMAP)::LoadImageA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(picture),
                                                    IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)
                            : nullptr;
    if (!image) return;
    RECT client;
    GetClientRect(&client);
    HDC memory = ::CreateCompatibleDC(dc);
    HGDIOBJ previous = ::SelectObject(memory, image);
    HPALETTE palette = use_skin_palette(dc, TRUE);
    ::BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
    if (palette) ::SelectPalette(dc, palette, TRUE);
    ::SelectObject(memory, previous);
    ::DeleteDC(memory);
    ::DeleteObject(image);
}

HBRUSH CConfirmDlg::OnCtlColor(CDC *dc, CWnd *control, UINT kind) {
    HBRUSH brush = CDialog::OnCtlColor(dc, control, kind);
    dc->SetBkMode(TRANSPARENT);
    if (kind == CTLCOLOR_DLG || kind == CTLCOLOR_STATIC) {
        if (!background.m_hObject) background.CreateSolidBrush(box_colour);
        // The text colour of the fixed ground, whatever the system's colours.
        dc->SetTextColor(RGB(0, 0, 0));
        return background;
    }
    return brush;
}

bool CConfirmDlg::ignores_key(const MSG &msg) {
    if (LOWORD(msg.wParam) != VK_ESCAPE) return false;
    if (msg.message == WM_KEYUP || msg.message == WM_SYSKEYUP) {
        escape_held = 0;
        return false;
    }
    if (msg.message != WM_KEYDOWN && msg.message != WM_SYSKEYDOWN) return false;
    if (!m_hWnd || (msg.hwnd != m_hWnd && !::IsChild(m_hWnd, msg.hwnd))) return false;
    return escape_held || (msg.lParam & 0x40000000);
}

void CConfirmDlg::configure(UINT style) {
    ok_only = ok_cancel = yes_no = 0;
    if (style & MB_OKCANCEL) ok_cancel = 1;
    else if (style & MB_YESNO) yes_no = 1;
    else ok_only = 1;
    icon_bitmap = IDB_WARNING;
    if ((style & 0x30) == 0x30) icon_bitmap = IDB_WARNING;
    else if (style & 0x40) icon_bitmap = IDB_INFORMATION;
    else if (style & 0x20) icon_bitmap = IDB_QUESTION;
    else if (style & 0x10) icon_bitmap = IDB_ERROR;
}

int ConfirmBox(const char *text, const char *caption, UINT style) {
    if (before_confirm_box) before_confirm_box();
    CConfirmDlg box;
    box.text = text ? text : "";
    box.caption = caption ? caption : "";
    box.configure(style);
    CConfirmDlg *outer = open_box;
    open_box = &box;
    bool hooked = false;
    if (!key_filter) {
        key_filter = ::SetWindowsHookExA(WH_MSGFILTER, filter_box_keys, nullptr, ::GetCurrentThreadId());
        hooked = key_filter != nullptr;
    }
    int result = (int)box.DoModal();
    if (hooked) {
        ::UnhookWindowsHookEx(key_filter);
        key_filter = nullptr;
    }
    open_box = outer;
    return result;
}
