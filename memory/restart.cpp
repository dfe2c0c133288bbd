// System restart: at once, other applications closed without asking.
#include "memory/restart.h"

#include "engine/platform_facts.h"
#include "memory/privileges.h"
#include "platform/os.h"

int32_t restart_windows() {
    if (platform_family() != 4) {
        DWORD error = 0;
        if (!enable_privilege("SeShutdownPrivilege", &error)) return 0;
        if (error != 0) return (int32_t)error;
    }
    return os::ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0);
}
