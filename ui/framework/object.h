// The framework's root: CObject with run-time class information, and
// CCmdTarget with message maps (a per-class table of message or command to
// handler, searched before the base class's table).
#pragma once
#include <windows.h>

struct CRuntimeClass {
    const char *m_lpszClassName;
    const CRuntimeClass *m_pBaseClass;
    bool IsDerivedFrom(const CRuntimeClass *base) const;
};

class CObject {
public:
    virtual ~CObject() {}
    virtual const CRuntimeClass *GetRuntimeClass() const;
    bool IsKindOf(const CRuntimeClass *cls) const { return GetRuntimeClass()->IsDerivedFrom(cls); }
    static const CRuntimeClass classCObject;
};

#define RUNTIME_CLASS(cls) (&cls::class##cls)

#define DECLARE_DYNAMIC(cls)              \
public:                                   \
    static const CRuntimeClass class##cls; \
    const CRuntimeClass *GetRuntimeClass() const override;

#define IMPLEMENT_DYNAMIC(cls, base)                                          \
    const CRuntimeClass cls::class##cls = {#cls, RUNTIME_CLASS(base)};        \
    const CRuntimeClass *cls::GetRuntimeClass() const { return RUNTIME_CLASS(cls); }

class CCmdTarget;
class CWnd;
class CDC;

// Handler shapes: each map entry records which one its handler has, so the
// dispatcher calls it with the arguments the message carries.
enum AfxSig : UINT {
    AfxSig_end = 0,
    AfxSig_vv,      // void ()
    AfxSig_lwl,     // LRESULT (WPARAM, LPARAM)
    AfxSig_vwp,     // void (UINT flags, CPoint point)
    AfxSig_vW,      // void (CWnd *other)
    AfxSig_bWww,    // BOOL (CWnd *window, UINT hit_test, UINT message)
    AfxSig_hDWw,    // HBRUSH (CDC *dc, CWnd *control, UINT kind)
    AfxSig_vt,      // void (UINT_PTR timer_id)
    AfxSig_vii,     // void (int x, int y)
};

typedef void (CCmdTarget::*AFX_PMSG)();

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;  // window message, or WM_COMMAND with nCode and nID
    UINT nCode;
    UINT nID;
    UINT nSig;
    AFX_PMSG pfn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP *(*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY *lpEntries;
};

// The WM_CTLCOLOR* messages all reach the one entry ON_WM_CTLCOLOR makes.
enum : UINT { AFX_WM_CTLCOLOR = 0x0019 };

class CCmdTarget : public CObject {
public:
    // Runs the handler of command id (notification code) if a map of this
    // class or a base class has one; TRUE when it did.
    virtual BOOL OnCmdMsg(UINT id, UINT code);
    virtual const AFX_MSGMAP *GetMessageMap() const;
    static const AFX_MSGMAP *GetThisMessageMap();
    // The first entry for a message (and, for WM_COMMAND, code and id).
    const AFX_MSGMAP_ENTRY *FindEntry(UINT message, UINT code, UINT id) const;
};

#define DECLARE_MESSAGE_MAP()                    \
protected:                                       \
    static const AFX_MSGMAP *GetThisMessageMap(); \
    const AFX_MSGMAP *GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                              \
    const AFX_MSGMAP *theClass::GetMessageMap() const { return GetThisMessageMap(); }      \
    const AFX_MSGMAP *theClass::GetThisMessageMap() {                                       \
        typedef theClass ThisClass [[maybe_unused]];                                        \
        typedef baseClass TheBaseClass;                                                     \
        static const AFX_MSGMAP_ENTRY entries[] = {

#define END_MESSAGE_MAP()                                                 \
    {0, 0, 0, AfxSig_end, nullptr}                                        \
    };                                                                    \
    static const AFX_MSGMAP map = {&TheBaseClass::GetThisMessageMap, entries}; \
    return &map;                                                          \
    }

// Entries. The inner cast checks the handler's type; the outer one stores it.
#define AFX_HANDLER(type, fn) reinterpret_cast<AFX_PMSG>(static_cast<type>(fn))

#define ON_MESSAGE(message, fn) \
    {message, 0, 0, AfxSig_lwl, AFX_HANDLER(LRESULT (CWnd::*)(WPARAM, LPARAM), &ThisClass::fn)},
#define ON_COMMAND(id, fn) {WM_COMMAND, 0, (UINT)(id), AfxSig_vv, AFX_HANDLER(void (CCmdTarget::*)(), &ThisClass::fn)},
#define ON_BN_CLICKED(id, fn) \
    {WM_COMMAND, BN_CLICKED, (UINT)(id), AfxSig_vv, AFX_HANDLER(void (CCmdTarget::*)(), &ThisClass::fn)},
#define ON_WM_PAINT() {WM_PAINT, 0, 0, AfxSig_vv, AFX_HANDLER(void (CCmdTarget::*)(), &ThisClass::OnPaint)},
#define ON_WM_TIMER() {WM_TIMER, 0, 0, AfxSig_vt, AFX_HANDLER(void (CWnd::*)(UINT_PTR), &ThisClass::OnTimer)},
#define ON_WM_CTLCOLOR() \
    {AFX_WM_CTLCOLOR, 0, 0, AfxSig_hDWw, AFX_HANDLER(HBRUSH (CWnd::*)(CDC *, CWnd *, UINT), &ThisClass::OnCtlColor)},
#define ON_WM_MOUSEMOVE() \
    {WM_MOUSEMOVE, 0, 0, AfxSig_vwp, AFX_HANDLER(void (CWnd::*)(UINT, CPoint), &ThisClass::OnMouseMove)},
#define ON_WM_LBUTTONDOWN() \
    {WM_LBUTTONDOWN, 0, 0, AfxSig_vwp, AFX_HANDLER(void (CWnd::*)(UINT, CPoint), &ThisClass::OnLButtonDown)},
#define ON_WM_LBUTTONUP() \
    {WM_LBUTTONUP, 0, 0, AfxSig_vwp, AFX_HANDLER(void (CWnd::*)(UINT, CPoint), &ThisClass::OnLButtonUp)},
#define ON_WM_SETFOCUS() {WM_SETFOCUS, 0, 0, AfxSig_vW, AFX_HANDLER(void (CWnd::*)(CWnd *), &ThisClass::OnSetFocus)},
#define ON_WM_KILLFOCUS() \
    {WM_KILLFOCUS, 0, 0, AfxSig_vW, AFX_HANDLER(void (CWnd::*)(CWnd *), &ThisClass::OnKillFocus)},
#define ON_WM_SETCURSOR() \
    {WM_SETCURSOR, 0, 0, AfxSig_bWww, AFX_HANDLER(BOOL (CWnd::*)(CWnd *, UINT, UINT), &ThisClass::OnSetCursor)},
#define ON_WM_MOVE() {WM_MOVE, 0, 0, AfxSig_vii, AFX_HANDLER(void (CWnd::*)(int, int), &ThisClass::OnMove)},
