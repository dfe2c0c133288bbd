// Modal dialogs.
#include "ui/framework/dialog.h"

#include "ui/framework/app.h"

void DDX_Control(CDataExchange *dx, int id, CWnd &control) {
    if (!control.m_hWnd) control.SubclassDlgItem((UINT)id, dx->m_pDlgWnd);
}

BOOL CDialog::UpdateData(BOOL save) {
    CDataExchange dx(this, save);
    DoDataExchange(&dx);
    return TRUE;
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

BOOL CDialog::OnCommand(WPARAM wparam, LPARAM lparam) {
    if (CWnd::OnCommand(wparam, lparam)) return TRUE;
    UINT id = LOWORD(wparam), code = HIWORD(wparam);
    if (code == BN_CLICKED || lparam == 0) {
        if (id == IDOK) {
            OnOK();
            return TRUE;
        }
        if (id == IDCANCEL) {
            OnCancel();
            return TRUE;
        }
    }
    CWinApp *app = AfxGetApp();
    return app && app->OnCmdMsg(id, code);
}

INT_PTR CDialog::DoModal() {
    HWND owner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    CWinApp *app = AfxGetApp();
    if (!owner && app && app->m_pMainWnd && app->m_pMainWnd != this) owner = app->m_pMainWnd->m_hWnd;
    HINSTANCE instance = app ? app->m_hInstance : ::GetModuleHandleA(nullptr);
    return ::DialogBoxParamA(instance, MAKEINTRESOURCEA(m_nIDTemplate), owner, AfxDlgProc, (LPARAM)this);
}

INT_PTR CALLBACK AfxDlgProc(HWND hwnd, UINT message, WPARAM, LPARAM lparam) {
    if (message != WM_INITDIALOG) return FALSE;
    AfxDispatchScope scope;
    try {
        CDialog *dialog = (CDialog *)lparam;
        if (!dialog->SubclassWindow(hwnd)) return FALSE;
        return dialog->OnInitDialog();
    } catch (...) {
        return FALSE;
    }
}
