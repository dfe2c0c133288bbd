// Skinned buttons and the subtitle label. A skinned button finds its three
// bitmaps by its caption (caption + "_FOCUS", "_NOTFOCUS", "_DISABLE"),
// takes the size of its bitmap, lights up while the pointer is over it or it
// has the focus, and takes the focus as the pointer enters it.
#pragma once
#include "ui/framework/framework.h"

// The behaviour both skinned button classes share.
class CSkinnedButton : public CButton {
public:
    int skin_from_caption(UINT id, CWnd *parent);
    int load_skin(const char *focus, const char *notfocus, const char *disable);
    int size_to_skin();
    void DrawItem(DRAWITEMSTRUCT *dis) override;
    // The image DrawItem shows for an item state.
    CBitmap *chosen_image(UINT item_state);
    LRESULT DefWindowProc(UINT message, WPARAM wparam, LPARAM lparam) override {
        return CButton::DefWindowProc(message, wparam, lparam);
    }

    int highlighted = 0;
    CRect hit_rect;
    CBitmap disable_bitmap, notfocus_bitmap, focus_bitmap;

    void OnMouseMove(UINT flags, CPoint point);
    void OnKillFocus(CWnd *next);
    void OnSetFocus(CWnd *previous);

    DECLARE_MESSAGE_MAP()
};

// The main window's buttons: with the hand cursor.
class CExButton : public CSkinnedButton {
    DECLARE_DYNAMIC(CExButton)
public:
    CExButton() {}
    // The cursor is the button's own copy.
    ~CExButton() override;
    HCURSOR link_cursor = nullptr;
    BOOL OnSetCursor(CWnd *window, UINT hit_test, UINT message);
    DECLARE_MESSAGE_MAP()
};

// The confirmation box's buttons: no cursor of their own.
class NCExButton : public CSkinnedButton {
    DECLARE_DYNAMIC(NCExButton)
};

// The subtitle label: its text in white on blue with label_font.
class CExLabel : public CStatic {
public:
    CString text;
    CRect client_rect;
    COLORREF text_colour = 0xFFFFFF;
    void OnPaint();
    DECLARE_MESSAGE_MAP()
};

// The palette the skinned windows draw with on a display of 256 colours
// (null elsewhere); the main window makes it from its art and keeps it for
// the run.
extern HPALETTE skin_palette;
// Selects skin_palette into dc and realizes it, as a background palette or
// as the window in front's; returns the palette dc had, or null.
HPALETTE use_skin_palette(HDC dc, BOOL background);

// The label's font; the main window creates it.
extern CFont label_font;
