// Drawing objects: each owns the platform object it holds and deletes it
// when it is replaced or destroyed. CDC wraps a device context; CPaintDC
// brackets WM_PAINT handling with BeginPaint and EndPaint.
#pragma once
#include <windows.h>

class CGdiObject {
public:
    HGDIOBJ m_hObject = nullptr;
    CGdiObject() {}
    virtual ~CGdiObject() { DeleteObject(); }
    CGdiObject(const CGdiObject &) = delete;
    CGdiObject &operator=(const CGdiObject &) = delete;
    // Takes ownership of object, deleting what was held before.
    BOOL Attach(HGDIOBJ object);
    HGDIOBJ Detach();
    BOOL DeleteObject();
    int GetObject(int size, void *buffer) const { return m_hObject ? ::GetObjectA(m_hObject, size, buffer) : 0; }
};

class CBitmap : public CGdiObject {
public:
    operator HBITMAP() const { return (HBITMAP)m_hObject; }
    int GetBitmap(BITMAP *bm) const { return GetObject(sizeof(BITMAP), bm); }
};

class CFont : public CGdiObject {
public:
    operator HFONT() const { return (HFONT)m_hObject; }
    BOOL CreateFontIndirect(const LOGFONTA *lf) { return Attach(::CreateFontIndirectA(lf)); }
};

class CBrush : public CGdiObject {
public:
    operator HBRUSH() const { return (HBRUSH)m_hObject; }
    BOOL CreateSolidBrush(COLORREF color) { return Attach(::CreateSolidBrush(color)); }
};

class CDC {
public:
    HDC m_hDC = nullptr;
    CDC() {}
    virtual ~CDC();
    CDC(const CDC &) = delete;
    CDC &operator=(const CDC &) = delete;
    operator HDC() const { return m_hDC; }

    // A temporary wrapper that does not own hdc; freed when the outermost
    // message handled by the framework returns.
    static CDC *FromHandle(HDC hdc);
    static void DeleteTemporaries();

    BOOL CreateCompatibleDC(CDC *dc) {
        m_hDC = ::CreateCompatibleDC(dc ? dc->m_hDC : nullptr);
        m_owned = true;
        return m_hDC != nullptr;
    }
    BOOL DeleteDC();
    HGDIOBJ SelectObject(HGDIOBJ object) { return ::SelectObject(m_hDC, object); }
    HGDIOBJ SelectObject(CGdiObject *object) { return ::SelectObject(m_hDC, object ? object->m_hObject : nullptr); }
    int SetBkMode(int mode) { return ::SetBkMode(m_hDC, mode); }
    COLORREF SetTextColor(COLORREF c) { return ::SetTextColor(m_hDC, c); }
    COLORREF SetBkColor(COLORREF c) { return ::SetBkColor(m_hDC, c); }
    int DrawText(const char *text, RECT *rect, UINT format) { return ::DrawTextA(m_hDC, text, -1, rect, format); }
    BOOL BitBlt(int x, int y, int w, int h, CDC *src, int sx, int sy, DWORD rop) {
        return ::BitBlt(m_hDC, x, y, w, h, src ? src->m_hDC : nullptr, sx, sy, rop);
    }

protected:
    bool m_owned = false;
};

class CPaintDC : public CDC {
public:
    explicit CPaintDC(HWND hwnd) : m_hWnd(hwnd) { m_hDC = ::BeginPaint(hwnd, &m_ps); }
    ~CPaintDC() override {
        ::EndPaint(m_hWnd, &m_ps);
        m_hDC = nullptr;
    }
    PAINTSTRUCT m_ps;

private:
    HWND m_hWnd;
};
