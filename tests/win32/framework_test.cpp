// The dialog framework under nested messages: a handler that throws leaves
// the outer message's Default() intact, temporary wrappers made during a
// dialog's initialisation outlive the messages it sends, and a window bound
// while a temporary wrapper of its handle exists stays bound.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "platform/os.h"
#include "ui/confirm_dlg.h"
#include "ui/framework/dialog.h"
#include "ui/resource.h"

namespace {

std::vector<UINT> reached_original;

LRESULT CALLBACK original_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message >= WM_APP) reached_original.push_back(message);
    return DefWindowProcA(hwnd, message, wparam, lparam);
}

HWND make_plain_window() {
    WNDCLASSA c = {};
    c.lpfnWndProc = original_procedure;
    c.hInstance = GetModuleHandleA(nullptr);
    c.lpszClassName = "FrameworkTestWindow";
    RegisterClassA(&c);
    return CreateWindowA("FrameworkTestWindow", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, c.hInstance, nullptr);
}

const UINT outer_message = WM_APP + 1, inner_message = WM_APP + 2;

// The outer handler sends a message whose handler throws, then forwards its
// own message to the window's original procedure.
class ThrowingWindow : public CWnd {
public:
    LRESULT OnOuter(WPARAM, LPARAM) {
        ::SendMessageA(m_hWnd, inner_message, 0, 0);
        return Default();
    }
    LRESULT OnInner(WPARAM, LPARAM) { throw 1; }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ThrowingWindow, CWnd)
ON_MESSAGE(outer_message, OnOuter)
ON_MESSAGE(inner_message, OnInner)
END_MESSAGE_MAP()

// Keeps a temporary wrapper of a window it does not own across a message it
// sends to itself, as initialisation code does when it lays out controls.
class InitialisingDialog : public CDialog {
public:
    InitialisingDialog(HWND other) : CDialog(IDD_CONFIRM), other(other) {}
    HWND other;
    bool same_wrapper_after_send = false;
    size_t temporaries_during = 0, temporaries_after_send = 0;
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        CWnd *wrapper = CWnd::FromHandle(other);
        temporaries_during = AfxDispatchScope::TemporaryWindowCount();
        ::SendMessageA(m_hWnd, WM_APP + 3, 0, 0);
        temporaries_after_send = AfxDispatchScope::TemporaryWindowCount();
        same_wrapper_after_send = CWnd::FromHandle(other) == wrapper && wrapper->m_hWnd == other;
        EndDialog(IDOK);
        return TRUE;
    }
};

const UINT answer_message = WM_APP + 5;

class AnsweringWindow : public CWnd {
public:
    LRESULT OnAnswer(WPARAM, LPARAM) { return 42; }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(AnsweringWindow, CWnd)
ON_MESSAGE(answer_message, OnAnswer)
END_MESSAGE_MAP()

// Wraps every window as it is created, as wrappers made for earlier windows
// of the same handles would be (the 9x family reuses a handle at once).
LRESULT CALLBACK wrap_each_new_window(int code, WPARAM wparam, LPARAM lparam) {
    if (code == HCBT_CREATEWND) CWnd::FromHandle((HWND)wparam);
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

std::function<void()> on_thread_timer;
UINT_PTR pending_timer = 0;
void CALLBACK thread_timer(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    pending_timer = 0;
    std::function<void()> f = on_thread_timer;
    on_thread_timer = nullptr;
    if (f) f();
}
void after(UINT ms, std::function<void()> f) {
    on_thread_timer = f;
    pending_timer = SetTimer(nullptr, 0, ms, thread_timer);
}

}  // namespace

TEST(Framework, BindingOverATemporaryWrapperKeepsTheBinding) {
    HWND hwnd = make_plain_window();
    ASSERT_TRUE(hwnd);
    AnsweringWindow w;
    {
        AfxDispatchScope scope;
        CWnd *temporary = CWnd::FromHandle(hwnd);
        ASSERT_NE(nullptr, temporary);
        ASSERT_TRUE(w.SubclassWindow(hwnd));
        EXPECT_EQ(&w, CWnd::FromHandlePermanent(hwnd));
        EXPECT_EQ(&w, CWnd::FromHandle(hwnd));
    }
    EXPECT_EQ(0u, AfxDispatchScope::TemporaryWindowCount());
    EXPECT_EQ(&w, CWnd::FromHandlePermanent(hwnd));
    EXPECT_EQ(42, ::SendMessageA(hwnd, answer_message, 0, 0));
    w.UnsubclassWindow();
    DestroyWindow(hwnd);
}

// Inside one long dispatch (the scan runs in one timer tick): a system
// notice, then a question whose windows get handles that temporary wrappers
// still hold. Its YES button must still answer.
TEST(Framework, QuestionAfterANoticeWithReusedHandlesAnswers) {
    AfxDispatchScope scan_tick;
    after(300, []() {
        HWND notice = GetActiveWindow();
        if (notice) PostMessageA(notice, WM_COMMAND, IDOK, 0);
    });
    MessageBoxA(nullptr, "Could not kill process", "notice", MB_OK);
    HHOOK hook = SetWindowsHookExA(WH_CBT, wrap_each_new_window, nullptr, GetCurrentThreadId());
    HWND box = nullptr;
    after(300, [&box]() {
        box = GetActiveWindow();
        ::SendMessageA(GetDlgItem(box, IDC_CONFIRM_YES), BM_CLICK, 0, 0);
        // A dead box would never end: end it from outside.
        after(3000, [&box]() { EndDialog(box, -5); });
    });
    int answer = ConfirmBox("The system has to be restarted.", "", MB_YESNO | MB_ICONQUESTION);
    if (pending_timer) KillTimer(nullptr, pending_timer);
    pending_timer = 0;
    on_thread_timer = nullptr;
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(IDYES, answer);
}

TEST(Framework, ThrowingHandlerLeavesTheOuterMessageToDefault) {
    HWND hwnd = make_plain_window();
    ASSERT_TRUE(hwnd);
    ThrowingWindow w;
    ASSERT_TRUE(w.SubclassWindow(hwnd));
    reached_original.clear();
    ::SendMessageA(hwnd, outer_message, 0, 0);
    EXPECT_EQ(std::vector<UINT>{outer_message}, reached_original);
    w.UnsubclassWindow();
    DestroyWindow(hwnd);
}

TEST(Framework, TemporaryWrappersLiveThroughTheDialogsInitialisation) {
    HWND other = make_plain_window();
    ASSERT_TRUE(other);
    InitialisingDialog dialog(other);
    EXPECT_EQ(IDOK, dialog.DoModal());
    EXPECT_EQ(1u, dialog.temporaries_during);
    EXPECT_EQ(1u, dialog.temporaries_after_send);
    EXPECT_TRUE(dialog.same_wrapper_after_send);
    // Gone once the outermost dispatch has ended.
    EXPECT_EQ(0u, AfxDispatchScope::TemporaryWindowCount());
    DestroyWindow(other);
}
