// CWnd: a window object tied to its HWND for the window's whole life. A
// window is either subclassed (its procedure replaced by the framework's,
// the original kept for default handling) or created by the framework (the
// dialogs). Messages go to the class's message map first; what no entry
// takes reaches the original window procedure.
#pragma once
#include <string>

#include "ui/framework/object.h"

struct CPoint : POINT {
    CPoint() { x = y = 0; }
    CPoint(int cx, int cy) { x = cx; y = cy; }
};

struct CRect : RECT {
    CRect() { left = top = right = bottom = 0; }
    CRect(int l, int t, int r, int b) { left = l; top = t; right = r; bottom = b; }
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

typedef std::string CString;

class CWnd : public CCmdTarget {
public:
    HWND m_hWnd = nullptr;

    CWnd() {}
    ~CWnd() override;
    CWnd(const CWnd &) = delete;
    CWnd &operator=(const CWnd &) = delete;
    operator HWND() const { return m_hWnd; }

    // The object bound to hwnd, or a temporary one that lives until the
    // outermost message handled by the framework returns.
    static CWnd *FromHandle(HWND hwnd);
    static CWnd *FromHandlePermanent(HWND hwnd);

    BOOL SubclassWindow(HWND hwnd);
    BOOL SubclassDlgItem(UINT id, CWnd *parent);
    HWND UnsubclassWindow();
    void Attach(HWND hwnd);  // bind without replacing the procedure
    HWND Detach();

    virtual LRESULT WindowProc(UINT message, WPARAM wparam, LPARAM lparam);
    // The original window procedure (or the platform's default).
    virtual LRESULT DefWindowProc(UINT message, WPARAM wparam, LPARAM lparam);
    virtual BOOL OnCommand(WPARAM wparam, LPARAM lparam);
    // Default handling of the message being handled now.
    LRESULT Default();

    // Thin helpers over the platform's window calls.
    CWnd *GetDlgItem(int id) const;
    BOOL ShowWindow(int show) { return ::ShowWindow(m_hWnd, show); }
    BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    void SetWindowText(const char *text) { ::SetWindowTextA(m_hWnd, text); }
    CString GetWindowText() const;
    void MoveWindow(int x, int y, int w, int h, BOOL repaint = TRUE) { ::MoveWindow(m_hWnd, x, y, w, h, repaint); }
    void GetWindowRect(RECT *r) const { ::GetWindowRect(m_hWnd, r); }
    void GetClientRect(RECT *r) const { ::GetClientRect(m_hWnd, r); }
    void Invalidate(BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, erase); }
    LRESULT SendMessage(UINT m, WPARAM w = 0, LPARAM l = 0) { return ::SendMessageA(m_hWnd, m, w, l); }
    BOOL PostMessage(UINT m, WPARAM w = 0, LPARAM l = 0) { return ::PostMessageA(m_hWnd, m, w, l); }
    void SetFont(HFONT font, BOOL redraw = TRUE) { SendMessage(WM_SETFONT, (WPARAM)font, redraw); }
    HFONT GetFont() const { return (HFONT)::SendMessageA(m_hWnd, WM_GETFONT, 0, 0); }
    UINT_PTR SetTimer(UINT_PTR id, UINT elapse) { return ::SetTimer(m_hWnd, id, elapse, nullptr); }
    BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }

    // Default handlers: message-map entries of derived classes that name a
    // handler the class does not declare reach these.
    void OnPaint() { Default(); }
    void OnTimer(UINT_PTR) { Default(); }
    HBRUSH OnCtlColor(CDC *, CWnd *, UINT) { return (HBRUSH)Default(); }
    void OnMouseMove(UINT, CPoint) { Default(); }
    void OnLButtonDown(UINT, CPoint) { Default(); }
    void OnLButtonUp(UINT, CPoint) { Default(); }
    void OnSetFocus(CWnd *) { Default(); }
    void OnKillFocus(CWnd *) { Default(); }
    BOOL OnSetCursor(CWnd *, UINT, UINT) { return (BOOL)Default(); }
    void OnMove(int, int) { Default(); }

    static const AFX_MSGMAP *GetThisMessageMap();
    const AFX_MSGMAP *GetMessageMap() const override;

    // Owner-drawn controls draw through this when their parent gets WM_DRAWITEM.
    virtual BOOL OnChildDrawItem(DRAWITEMSTRUCT *) { return FALSE; }

protected:
    WNDPROC m_pfnSuper = nullptr;
    MSG m_current = {};

    LRESULT Dispatch(const AFX_MSGMAP_ENTRY *entry, UINT message, WPARAM wparam, LPARAM lparam);
    friend LRESULT CALLBACK AfxWndProc(HWND, UINT, WPARAM, LPARAM);
};

// The framework's window procedure, shared by every subclassed window.
LRESULT CALLBACK AfxWndProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

// One level of the framework's message dispatch. Temporary wrappers
// (CWnd::FromHandle for a window the framework does not own, CDC::FromHandle)
// live until the outermost level ends, so a handler may keep one across
// messages it sends. Every entry from the platform into handler code opens
// one: the window procedure and the dialog's initialisation.
class AfxDispatchScope {
public:
    AfxDispatchScope();
    ~AfxDispatchScope();
    AfxDispatchScope(const AfxDispatchScope &) = delete;
    AfxDispatchScope &operator=(const AfxDispatchScope &) = delete;
    // How many temporary window wrappers exist (for tests).
    static size_t TemporaryWindowCount();
};
