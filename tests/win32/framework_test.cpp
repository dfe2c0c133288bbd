// The dialog framework under nested messages: a handler that throws leaves
// the outer message's Default() intact, and temporary wrappers made during a
// dialog's initialisation outlive the messages it sends.
#include <gtest/gtest.h>

#include <vector>

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

}  // namespace

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
