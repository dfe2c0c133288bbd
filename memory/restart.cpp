// System restart: at once, other applications closed without asking.
#include "memory/restart.h"

#include <cstring>

#include "memory/platform.h"
#include "platform/os.h"

int32_t restart_windows() {
    if (platform_family() != 4) {
        HANDLE token = nullptr;
        if (!os::OpenProcessToken(os::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
            return 0;
        TOKEN_PRIVILEGES privileges;
        std::memset(&privileges, 0, sizeof privileges);
        os::LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid);
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        os::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        DWORD error = os::GetLastError();
        os::CloseHandle(token);
        if (error != 0) return (int32_t)error;
    }
    return os::ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0);
}
