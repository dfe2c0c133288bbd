// The application object and the process entry.
#include "ui/framework/app.h"

namespace {
CWinApp *the_app = nullptr;
}

CWinApp::CWinApp(const char *app_name) : m_pszAppName(app_name) { the_app = this; }

CWinApp::~CWinApp() {
    if (the_app == this) the_app = nullptr;
}

CWinApp *AfxGetApp() { return the_app; }

BEGIN_MESSAGE_MAP(CWinApp, CCmdTarget)
END_MESSAGE_MAP()

int CWinApp::Run() {
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    m_exitCode = (int)msg.wParam;
    return ExitInstance();
}

int AfxWinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int show) {
    CWinApp *app = AfxGetApp();
    if (!app) return -1;
    app->m_hInstance = instance;
    app->m_lpCmdLine = command_line ? command_line : "";
    app->m_nCmdShow = show;
    if (!app->m_pszAppName) app->m_pszAppName = "";
    int result;
    try {
        result = app->InitInstance() ? app->Run() : app->ExitInstance();
    } catch (...) {
        result = -1;
    }
    return result;
}

