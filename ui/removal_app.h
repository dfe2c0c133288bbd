// The application object: refuses a second copy, runs the main window
// modally, and ends the program when it closes.
#pragma once
#include "ui/framework/framework.h"

class CRemovalApp : public CWinApp {
public:
    CRemovalApp() : CWinApp(nullptr) {}
    ~CRemovalApp() override {}
    BOOL InitInstance() override;
    DECLARE_MESSAGE_MAP()
};
