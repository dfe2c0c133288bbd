// Privileges of the program's own token.
#include "memory/privileges.h"

#include <cstring>

static void adjust(HANDLE token, const char *name) {
    TOKEN_PRIVILEGES privileges;
    std::memset(&privileges, 0, sizeof privileges);
    os::LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid);
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    os::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
}

int enable_privilege(const char *name, DWORD *error) {
    HANDLE token = nullptr;
    if (!os::OpenProcessToken(os::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        // The lookup and the adjustment still run, on no token, and fail.
        adjust(nullptr, name);
        if (error) *error = os::GetLastError();
        return 0;
    }
    adjust(token, name);
    if (error) *error = os::GetLastError();
    os::CloseHandle(token);
    return 1;
}
