// Dialogs from resource templates, run modally, with their controls bound
// to member objects in DoDataExchange.
#pragma once
#include "ui/framework/wnd.h"

class CDialog;

class CDataExchange {
public:
    CDataExchange(CDialog *dialog, BOOL save) : m_pDlgWnd(dialog), m_bSaveAndValidate(save) {}
    CDialog *m_pDlgWnd;
    BOOL m_bSaveAndValidate;
};

// Binds control to the dialog item id (once; a bound control keeps its window).
void DDX_Control(CDataExchange *dx, int id, CWnd &control);

class CDialog : public CWnd {
public:
    explicit CDialog(UINT template_id, CWnd *parent = nullptr) : m_nIDTemplate(template_id), m_pParentWnd(parent) {}

    // Runs the dialog until EndDialog; returns its result, or -1 when the
    // dialog could not be created. With no parent given, the application's
    // main window owns the dialog.
    virtual INT_PTR DoModal();
    void EndDialog(int result) { ::EndDialog(m_hWnd, result); }
    BOOL UpdateData(BOOL save = TRUE);

    virtual BOOL OnInitDialog();
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    virtual void DoDataExchange(CDataExchange *) {}

    // Commands no map entry takes: IDOK and IDCANCEL reach OnOK and
    // OnCancel; others are offered to the application object.
    BOOL OnCommand(WPARAM wparam, LPARAM lparam) override;

    UINT m_nIDTemplate;
    CWnd *m_pParentWnd;
};

INT_PTR CALLBACK AfxDlgProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
