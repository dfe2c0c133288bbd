// Skinned buttons and the subtitle label.
#include "ui/skin_button.h"

CFont label_font;
HPALETTE skin_palette = nullptr;

HPALETTE use_skin_palette(HDC dc, BOOL background) {
    if (!skin_palette) return nullptr;
    HPALETTE old = ::SelectPalette(dc, skin_palette, background);
    ::RealizePalette(dc);
    return old;
}

namespace {
// As DIB sections, in their exact colours at every display depth; the art
// holds none of the system greys that LR_LOADMAP3DCOLORS would map.
HBITMAP load_bitmap(const char *name) {
    return (HBITMAP)::LoadImageA(::GetModuleHandleA(nullptr), name, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION);
}
}  // namespace

BEGIN_MESSAGE_MAP(CSkinnedButton, CButton)
    ON_WM_MOUSEMOVE()
    ON_WM_KILLFOCUS()
    ON_WM_SETFOCUS()
END_MESSAGE_MAP()

IMPLEMENT_DYNAMIC(CExButton, CButton)
IMPLEMENT_DYNAMIC(NCExButton, CButton)

BEGIN_MESSAGE_MAP(CExButton, CSkinnedButton)
    ON_WM_SETCURSOR()
END_MESSAGE_MAP()

int CSkinnedButton::skin_from_caption(UINT id, CWnd *parent) {
    if (!m_hWnd && !SubclassDlgItem(id, parent)) return 0;
    CString caption = GetWindowText();
    if (caption.empty()) return 0;
    load_skin((caption + "_FOCUS").c_str(), (caption + "_NOTFOCUS").c_str(), (caption + "_DISABLE").c_str());
    return 1;
}

int CSkinnedButton::load_skin(const char *focus, const char *notfocus, const char *disable) {
    focus_bitmap.DeleteObject();
    notfocus_bitmap.DeleteObject();
    disable_bitmap.DeleteObject();
    if (!focus_bitmap.Attach(load_bitmap(focus))) return 0;
    if (!notfocus_bitmap.Attach(load_bitmap(notfocus))) return 0;
    disable_bitmap.Attach(load_bitmap(disable));
    return size_to_skin();
}

int CSkinnedButton::size_to_skin() {
    BITMAP bm;
    if (!notfocus_bitmap.GetBitmap(&bm)) return 0;
    if (!::SetWindowPos(m_hWnd, nullptr, 0, 0, bm.bmWidth, bm.bmHeight,
                        SWP_NOMOVE | SWP_NOZORDER | SWP_NOREDRAW | SWP_NOACTIVATE))
        return 0;
    hit_rect = CRect(0, 0, bm.bmWidth, bm.bmHeight);
    return 1;
}

void CSkinnedButton::OnMouseMove(UINT, CPoint point) {
    HWND parent = ::GetParent(m_hWnd);
    if (parent && !::IsWindowEnabled(parent)) {
        // A question is open over the window: no hover, and no capture that
        // would let a click through to this button.
        if (::GetCapture() == m_hWnd) ::ReleaseCapture();
        if (highlighted) {
            highlighted = 0;
            ::InvalidateRect(m_hWnd, nullptr, FALSE);
        }
        Default();
        return;
    }
    if (::GetCapture() != m_hWnd) {
        // The focus follows the pointer only within the window in front:
        // a pointer crossing a window behind another does not activate it.
        if (!parent || ::GetForegroundWindow() == parent) ::SetFocus(m_hWnd);
        highlighted = 1;
        ::SetCapture(m_hWnd);
        ::InvalidateRect(m_hWnd, nullptr, FALSE);
    } else if (!::PtInRect(&hit_rect, point) && ::GetCapture() == m_hWnd) {
        ::ReleaseCapture();
        highlighted = 0;
        ::InvalidateRect(m_hWnd, nullptr, FALSE);
    }
    Default();
}

void CSkinnedButton::OnKillFocus(CWnd *) {
    Default();
    highlighted = 0;
    ::InvalidateRect(m_hWnd, nullptr, FALSE);
}

void CSkinnedButton::OnSetFocus(CWnd *) {
    Default();
    highlighted = 1;
    ::InvalidateRect(m_hWnd, nullptr, FALSE);
}

CBitmap *CSkinnedButton::chosen_image(UINT item_state) {
    if (highlighted == 1) return &focus_bitmap;
    return (item_state & ODS_DISABLED) ? &disable_bitmap : &notfocus_bitmap;
}

void CSkinnedButton::DrawItem(DRAWITEMSTRUCT *dis) {
    CBitmap *image = chosen_image(dis->itemState);
    CDC memory;
    if (!memory.CreateCompatibleDC(CDC::FromHandle(dis->hDC))) return;
    HGDIOBJ previous = image->m_hObject ? memory.SelectObject(image) : nullptr;
    if (previous) {
        HPALETTE palette = use_skin_palette(dis->hDC, TRUE);
        const RECT &r = dis->rcItem;
        ::BitBlt(dis->hDC, r.left, r.top, r.right - r.left, r.bottom - r.top, memory, 0, 0, SRCCOPY);
        if (palette) ::SelectPalette(dis->hDC, palette, TRUE);
        memory.SelectObject(previous);
    }
}

CExButton::~CExButton() {
    if (link_cursor) ::DestroyIcon((HICON)link_cursor);
}

BOOL CExButton::OnSetCursor(CWnd *window, UINT hit_test, UINT message) {
    if (link_cursor) {
        ::SetCursor(link_cursor);
        return TRUE;
    }
    return CWnd::OnSetCursor(window, hit_test, message);
}

BEGIN_MESSAGE_MAP(CExLabel, CStatic)
    ON_WM_PAINT()
END_MESSAGE_MAP()

void CExLabel::OnPaint() {
    CPaintDC dc(m_hWnd);
    GetClientRect(&client_rect);
    text = GetWindowText();
    dc.SetTextColor(text_colour);
    HGDIOBJ previous = label_font.m_hObject ? dc.SelectObject(&label_font) : nullptr;
    dc.SetBkColor(0xF64D02);
    dc.DrawText(text.c_str(), &client_rect, DT_CENTER | DT_VCENTER);
    if (previous) dc.SelectObject(previous);
}
