// Window objects, the handle map and message dispatch.
#include "ui/framework/wnd.h"

#include <map>
#include <memory>

#include "ui/framework/gdi.h"

namespace {
std::map<HWND, CWnd *> &permanent_map() {
    static std::map<HWND, CWnd *> map;
    return map;
}
std::map<HWND, std::unique_ptr<CWnd>> &temporary_map() {
    static std::map<HWND, std::unique_ptr<CWnd>> map;
    return map;
}
int dispatch_depth = 0;
}  // namespace

CWnd::~CWnd() {
    if (m_hWnd) {
        if (m_pfnSuper) UnsubclassWindow();
        else Detach();
    }
}

CWnd *CWnd::FromHandlePermanent(HWND hwnd) {
    auto it = permanent_map().find(hwnd);
    return it == permanent_map().end() ? nullptr : it->second;
}

CWnd *CWnd::FromHandle(HWND hwnd) {
    if (!hwnd) return nullptr;
    if (CWnd *w = FromHandlePermanent(hwnd)) return w;
    auto &temps = temporary_map();
    auto it = temps.find(hwnd);
    if (it != temps.end()) return it->second.get();
    CWnd *w = new CWnd();
    w->m_hWnd = hwnd;  // not in the permanent map: never subclassed
    temps[hwnd].reset(w);
    return w;
}

void CWnd::Attach(HWND hwnd) {
    // A temporary wrapper of the same handle (made for an earlier window
    // that had it: handles are reused) lets go of it first, so that its
    // destruction cannot take the new binding with it.
    auto &temps = temporary_map();
    auto it = temps.find(hwnd);
    if (it != temps.end()) {
        it->second->m_hWnd = nullptr;
        temps.erase(it);
    }
    m_hWnd = hwnd;
    permanent_map()[hwnd] = this;
}

HWND CWnd::Detach() {
    HWND h = m_hWnd;
    // Only this object's own binding goes.
    auto &map = permanent_map();
    auto it = h ? map.find(h) : map.end();
    if (it != map.end() && it->second == this) map.erase(it);
    m_hWnd = nullptr;
    return h;
}

BOOL CWnd::SubclassWindow(HWND hwnd) {
    if (!hwnd || m_hWnd || FromHandlePermanent(hwnd)) return FALSE;
    Attach(hwnd);
    m_pfnSuper = (WNDPROC)::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, (LONG_PTR)AfxWndProc);
    if (!m_pfnSuper) {
        Detach();
        return FALSE;
    }
    return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT id, CWnd *parent) {
    return parent && SubclassWindow(::GetDlgItem(parent->m_hWnd, (int)id));
}

HWND CWnd::UnsubclassWindow() {
    if (m_pfnSuper && ::IsWindow(m_hWnd)) ::SetWindowLongPtrA(m_hWnd, GWLP_WNDPROC, (LONG_PTR)m_pfnSuper);
    m_pfnSuper = nullptr;
    return Detach();
}

CWnd *CWnd::GetDlgItem(int id) const { return FromHandle(::GetDlgItem(m_hWnd, id)); }

CString CWnd::GetWindowText() const {
    int n = ::GetWindowTextLengthA(m_hWnd);
    std::string s((size_t)n + 1, '\0');
    n = ::GetWindowTextA(m_hWnd, &s[0], n + 1);
    s.resize((size_t)(n > 0 ? n : 0));
    return s;
}

const AFX_MSGMAP *CWnd::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, AfxSig_end, nullptr}};
    static const AFX_MSGMAP map = {&CCmdTarget::GetThisMessageMap, entries};
    return &map;
}

const AFX_MSGMAP *CWnd::GetMessageMap() const { return GetThisMessageMap(); }

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wparam, LPARAM lparam) {
    if (m_pfnSuper) return ::CallWindowProcA(m_pfnSuper, m_hWnd, message, wparam, lparam);
    return ::DefWindowProcA(m_hWnd, message, wparam, lparam);
}

LRESULT CWnd::Default() { return DefWindowProc(m_current.message, m_current.wParam, m_current.lParam); }

BOOL CWnd::OnCommand(WPARAM wparam, LPARAM) { return OnCmdMsg(LOWORD(wparam), HIWORD(wparam)); }

LRESULT CWnd::Dispatch(const AFX_MSGMAP_ENTRY *e, UINT message, WPARAM wparam, LPARAM lparam) {
    union {
        AFX_PMSG pfn;
        void (CCmdTarget::*vv)();
        LRESULT (CWnd::*lwl)(WPARAM, LPARAM);
        void (CWnd::*vwp)(UINT, CPoint);
        void (CWnd::*vW)(CWnd *);
        BOOL (CWnd::*bWww)(CWnd *, UINT, UINT);
        HBRUSH (CWnd::*hDWw)(CDC *, CWnd *, UINT);
        void (CWnd::*vt)(UINT_PTR);
        void (CWnd::*vii)(int, int);
    } u;
    u.pfn = e->pfn;
    switch (e->nSig) {
    case AfxSig_vv:
        (this->*u.vv)();
        return 0;
    case AfxSig_lwl:
        return (this->*u.lwl)(wparam, lparam);
    case AfxSig_vwp:
        (this->*u.vwp)((UINT)wparam, CPoint((short)LOWORD(lparam), (short)HIWORD(lparam)));
        return 0;
    case AfxSig_vW:
        (this->*u.vW)(FromHandle((HWND)wparam));
        return 0;
    case AfxSig_bWww:
        return (this->*u.bWww)(FromHandle((HWND)wparam), LOWORD(lparam), HIWORD(lparam));
    case AfxSig_hDWw: {
        CDC *dc = CDC::FromHandle((HDC)wparam);
        return (LRESULT)(this->*u.hDWw)(dc, FromHandle((HWND)lparam), message - WM_CTLCOLORMSGBOX);
    }
    case AfxSig_vt:
        (this->*u.vt)((UINT_PTR)wparam);
        return 0;
    case AfxSig_vii:
        (this->*u.vii)((short)LOWORD(lparam), (short)HIWORD(lparam));
        return 0;
    default:
        return DefWindowProc(message, wparam, lparam);
    }
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_COMMAND && OnCommand(wparam, lparam)) return 0;
    UINT key = message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC ? (UINT)AFX_WM_CTLCOLOR : message;
    if (message != WM_COMMAND)
        if (const AFX_MSGMAP_ENTRY *e = FindEntry(key, 0, 0)) return Dispatch(e, message, wparam, lparam);
    if (message == WM_DRAWITEM) {
        DRAWITEMSTRUCT *dis = (DRAWITEMSTRUCT *)lparam;
        CWnd *child = dis ? FromHandlePermanent(dis->hwndItem) : nullptr;
        if (child && child->OnChildDrawItem(dis)) return TRUE;
    }
    return DefWindowProc(message, wparam, lparam);
}

AfxDispatchScope::AfxDispatchScope() { ++dispatch_depth; }

AfxDispatchScope::~AfxDispatchScope() {
    if (--dispatch_depth == 0) {
        temporary_map().clear();
        CDC::DeleteTemporaries();
    }
}

size_t AfxDispatchScope::TemporaryWindowCount() { return temporary_map().size(); }

LRESULT CALLBACK AfxWndProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    CWnd *w = CWnd::FromHandlePermanent(hwnd);
    if (!w) return ::DefWindowProcA(hwnd, message, wparam, lparam);
    AfxDispatchScope scope;
    // The message being handled, for Default(); an outer message's is put
    // back however this one ends, so the outer handler's Default() forwards
    // its own message.
    MSG saved = w->m_current;
    LRESULT result = 0;
    // No C++ exception may cross into the platform's code.
    try {
        w->m_current.hwnd = hwnd;
        w->m_current.message = message;
        w->m_current.wParam = wparam;
        w->m_current.lParam = lparam;
        result = w->WindowProc(message, wparam, lparam);
    } catch (...) {
        result = 0;
    }
    w->m_current = saved;
    if (message == WM_NCDESTROY) w->UnsubclassWindow();
    return result;
}
