// Platform family and NT generation.
#include "memory/platform.h"

#include <cstring>

#include "platform/os.h"

static int query_version(OSVERSIONINFOA &info) {
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = 148;
    return os::GetVersionExA(&info) ? 1 : 0;
}

int platform_family() {
    OSVERSIONINFOA info;
    if (!query_version(info)) return 0;
    if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) return 4;
    if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) return 5;
    return 1;
}

int nt_generation() {
    OSVERSIONINFOA info;
    if (!query_version(info) || info.dwPlatformId != VER_PLATFORM_WIN32_NT) return 0;
    if (info.dwMajorVersion <= 4) return 5;
    if (info.dwMajorVersion == 5) return 6;
    return 0;
}
