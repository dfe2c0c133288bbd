// The application object and its one instance.
#include "ui/removal_app.h"

#include "engine/scan_state.h"
#include "ui/main_dlg.h"
#include "ui/resource.h"

CRemovalApp the_app;

BEGIN_MESSAGE_MAP(CRemovalApp, CWinApp)
    ON_COMMAND(ID_HELP, OnHelp)
END_MESSAGE_MAP()

BOOL CRemovalApp::InitInstance() {
    AfxEnableControlContainer();
    Enable3dControls();
    if (::FindWindowA(nullptr, app_title)) return FALSE;
    CMainDlg *dialog = new CMainDlg(nullptr);
    m_pMainWnd = dialog;
    dialog->DoModal();
    delete dialog;
    m_pMainWnd = nullptr;
    return FALSE;
}
