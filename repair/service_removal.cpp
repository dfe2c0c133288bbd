// Service removal: the stop request with a bounded wait, and the service's
// keys in both numbered control sets.
#include "repair/service_removal.h"

#include <cstdio>
#include <cstring>

#include "platform/os.h"
#include "repair/registry_helpers.h"

// The window is not pumped while a service stops: wait at most this many
// one-second polls.
enum { stop_pending_polls = 20 };

int stop_service(const char *service_name) {
    SC_HANDLE manager = os::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return 0;
    SC_HANDLE service = os::OpenServiceA(manager, service_name, 0xF003F);
    if (!service) {
        os::CloseServiceHandle(manager);
        return 0;
    }
    SERVICE_STATUS status;
    std::memset(&status, 0, sizeof status);
    int result = 0;
    if (os::ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        int polls = 0;
        while (os::QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOP_PENDING &&
               polls++ < stop_pending_polls)
            os::Sleep(1000);
        result = status.dwCurrentState == SERVICE_STOPPED;
    }
    os::CloseServiceHandle(service);
    os::CloseServiceHandle(manager);
    return result;
}

int delete_service_keys(const char *service_name) {
    static const char *const paths[6][2] = {
        {"SYSTEM\\ControlSet001\\Services\\", "\\Enum"},
        {"SYSTEM\\ControlSet001\\Services\\", "\\Security"},
        {"SYSTEM\\ControlSet001\\Services\\", ""},
        {"SYSTEM\\CONTROLSET002\\SERVICES\\", "\\Enum"},
        {"SYSTEM\\ControlSet002\\Services\\", "\\Security"},
        {"SYSTEM\\ControlSet002\\Services\\", ""},
    };
    int any = 0;
    for (const auto &p : paths) {
        char key[512];
        std::memset(key, 0, sizeof key);
        if (std::snprintf(key, sizeof key, "%s%s%s", p[0], service_name, p[1]) >= (int)sizeof key) continue;
        if (delete_machine_key(key)) any = 1;
    }
    return any;
}
