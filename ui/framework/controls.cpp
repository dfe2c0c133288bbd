// Standard controls.
#include "ui/framework/controls.h"

IMPLEMENT_DYNAMIC(CButton, CObject)
IMPLEMENT_DYNAMIC(CStatic, CObject)
IMPLEMENT_DYNAMIC(CListBox, CObject)

CString CListBox::GetText(int index) const {
    LRESULT n = ::SendMessageA(m_hWnd, LB_GETTEXTLEN, (WPARAM)index, 0);
    if (n == LB_ERR) return CString();
    std::string s((size_t)n + 1, '\0');
    n = ::SendMessageA(m_hWnd, LB_GETTEXT, (WPARAM)index, (LPARAM)&s[0]);
    s.resize(n == LB_ERR ? 0 : (size_t)n);
    return s;
}
