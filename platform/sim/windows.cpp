// Simulated windows and the message queue, the report channel's messages,
// the system message box and the scripted confirmation box.

#include <cctype>
#include <cstring>

#include "platform/sim/internal.h"

namespace sim {

HWND Machine::create_window(WindowProc proc) {
    HWND h = (HWND)(next_handle += 4);
    windows[h] = proc;
    return h;
}

void Machine::post_message(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    MSG m;
    std::memset(&m, 0, sizeof m);
    m.hwnd = hwnd;
    m.message = msg;
    m.wParam = wparam;
    m.lParam = lparam;
    queue.push_back(m);
}

}  // namespace sim

using sim::machine;

namespace os {

BOOL PeekMessageA(LPMSG msg, HWND, UINT, UINT, UINT remove) {
    sim::Machine &m = sim::called("PeekMessageA");
    if (m.queue.empty()) return FALSE;
    *msg = m.queue.front();
    if (remove & PM_REMOVE) m.queue.pop_front();
    return TRUE;
}

BOOL TranslateMessage(const MSG *) {
    sim::called("TranslateMessage");
    return FALSE;
}

LRESULT DispatchMessageA(const MSG *msg) {
    sim::Machine &m = sim::called("DispatchMessageA");
    auto it = m.windows.find(msg->hwnd);
    if (it == m.windows.end()) return 0;
    sim::WindowProc proc = it->second;
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    sim::Machine &m = sim::called("SendMessageA");
    auto it = m.windows.find(hwnd);
    if (it == m.windows.end()) return 0;
    sim::WindowProc proc = it->second;
    return proc(hwnd, msg, wparam, lparam);
}

}  // namespace os

int ConfirmBox(const char *text, const char *caption, UINT style) {
    sim::Machine &m = sim::called("ConfirmBox");
    m.confirm_calls.push_back(sim::ConfirmCall{text ? text : "", caption ? caption : "", style});
    if (!m.confirm_answers.empty()) {
        int a = m.confirm_answers.front();
        m.confirm_answers.pop_front();
        return a;
    }
    return m.default_answer;
}

namespace os {

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    sim::Machine &m = sim::called("MessageBoxA");
    m.message_boxes.push_back(sim::MessageBoxCall{text ? text : "", caption ? caption : "", type});
    return IDOK;
}

}  // namespace os
