// The application object and the process entry: WinMain hands the command
// line's tail and the show command to AfxWinMain, which runs InitInstance.
#pragma once
#include "ui/framework/wnd.h"

class CWinApp : public CCmdTarget {
public:
    explicit CWinApp(const char *app_name = nullptr);
    ~CWinApp() override;

    virtual BOOL InitInstance() { return TRUE; }
    // The application's own message loop, for an InitInstance that returns TRUE.
    virtual int Run();
    virtual int ExitInstance() { return m_exitCode; }
    void OnHelp() {}

    const char *m_pszAppName;
    HINSTANCE m_hInstance = nullptr;
    const char *m_lpCmdLine = "";
    int m_nCmdShow = SW_SHOWDEFAULT;
    CWnd *m_pMainWnd = nullptr;
    int m_exitCode = 0;

    DECLARE_MESSAGE_MAP()
};

CWinApp *AfxGetApp();
int AfxWinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show);

// Calls of the classic framework that need nothing here: ActiveX control
// hosting and the old 3-D control library are the platform's own today.
inline void AfxEnableControlContainer() {}
inline BOOL Enable3dControls() { return TRUE; }
