// The standard controls the windows are made of.
#pragma once
#include "ui/framework/wnd.h"

class CButton : public CWnd {
    DECLARE_DYNAMIC(CButton)
public:
    // Owner-drawn buttons paint themselves here.
    virtual void DrawItem(DRAWITEMSTRUCT *) {}
    BOOL OnChildDrawItem(DRAWITEMSTRUCT *dis) override {
        DrawItem(dis);
        return TRUE;
    }
};

class CStatic : public CWnd {
    DECLARE_DYNAMIC(CStatic)
};

class CListBox : public CWnd {
    DECLARE_DYNAMIC(CListBox)
public:
    int AddString(const char *text) { return (int)SendMessage(LB_ADDSTRING, 0, (LPARAM)text); }
    int GetCount() const { return (int)::SendMessageA(m_hWnd, LB_GETCOUNT, 0, 0); }
    void ResetContent() { SendMessage(LB_RESETCONTENT); }
    int SetCurSel(int index) { return (int)SendMessage(LB_SETCURSEL, (WPARAM)index); }
    int GetCurSel() const { return (int)::SendMessageA(m_hWnd, LB_GETCURSEL, 0, 0); }
    CString GetText(int index) const;
    int GetHorizontalExtent() const { return (int)::SendMessageA(m_hWnd, LB_GETHORIZONTALEXTENT, 0, 0); }
    void SetHorizontalExtent(int extent) { SendMessage(LB_SETHORIZONTALEXTENT, (WPARAM)extent); }
};
