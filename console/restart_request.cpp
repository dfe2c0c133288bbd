// Requesting the restart of /restart.
#include "console/restart_request.h"

#include <cstring>

#include "engine/find_function.h"
#include "memory/privileges.h"

const char restart_notice[] =
    "Windows restarts in 30 seconds to finish the removal of W32/Quelby.Trojan (pellscan). "
    "Save your work: programs are asked to close, none is forced.";

bool request_restart(bool nt_family, DWORD *error) {
    *error = 0;
    if (!nt_family) {
        if (::ExitWindowsEx(EWX_REBOOT, 0)) return true;
        *error = ::GetLastError();
        return false;
    }
    DWORD privilege_error = 0;
    if (!enable_privilege("SeShutdownPrivilege", &privilege_error)) {
        *error = ::GetLastError();
        if (!*error) *error = ERROR_ACCESS_DENIED;
        return false;
    }
    if (privilege_error) {
        *error = privilege_error;
        return false;
    }
    typedef BOOL(WINAPI * initiate_fn)(LPSTR, LPSTR, DWORD, BOOL, BOOL);
    initiate_fn initiate = find_function<initiate_fn>(::GetModuleHandleA("advapi32.dll"), "InitiateSystemShutdownA");
    if (!initiate) {
        *error = ERROR_PROC_NOT_FOUND;
        return false;
    }
    char message[sizeof restart_notice];
    std::memcpy(message, restart_notice, sizeof message);
    if (initiate(nullptr, message, restart_delay_seconds, FALSE, TRUE)) return true;
    *error = ::GetLastError();
    return false;
}
