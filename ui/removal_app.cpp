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
    // A Run value or image path on an empty removable drive fails quietly
    // instead of stopping the scan with the system's "insert a disk" box.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
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
