// Platform family and NT generation, and the file system redirection that
// 64-bit Windows applies to a 32-bit program.
#include "engine/platform_facts.h"

#include <cstdio>
#include <cstring>

#include "engine/find_function.h"
#include "engine/path_text.h"
#include "engine/scan_state.h"
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

namespace {

typedef BOOL(WINAPI *is_wow64_process_fn)(HANDLE process, BOOL *wow64);
typedef UINT(WINAPI *wow64_directory_fn)(LPSTR buffer, UINT size);

// The subfolders of the system folder that the redirector leaves alone;
// driverstore only from Windows 7 on (earlier it is redirected).
const char *const not_redirected[] = {"catroot", "catroot2", "drivers\\etc", "logfiles", "spool", "driverstore"};

bool driverstore_redirected() {
    OSVERSIONINFOA info;
    return !query_version(info) || info.dwMajorVersion < 6 || (info.dwMajorVersion == 6 && info.dwMinorVersion < 1);
}

// When path is folder followed by "\" and more, the rest; else null.
const char *below(const char *path, const char *folder) {
    size_t n = std::strlen(folder);
    return n && begins_with_nocase(path, folder) && path[n] == '\\' && path[n + 1] ? path + n + 1 : nullptr;
}

bool fits(UINT length) { return length != 0 && length < MAX_PATH; }

bool joined(char *out, size_t size, const char *folder, const char *rest) {
    int n = std::snprintf(out, size, "%s\\%s", folder, rest);
    return n > 0 && (size_t)n < size;
}

}  // namespace

bool runs_under_wow64() {
    HMODULE kernel = os::LoadLibraryA("Kernel32.dll");
    is_wow64_process_fn is_wow64 = find_function<is_wow64_process_fn>(kernel, "IsWow64Process");
    BOOL wow64 = FALSE;
    return is_wow64 && is_wow64(os::GetCurrentProcess(), &wow64) && wow64;
}

bool unredirected_path(const char *path, char *out, size_t size) {
    if (!runs_under_wow64()) return copy_text(out, (unsigned)size, path) != 0;
    HMODULE kernel = os::LoadLibraryA("Kernel32.dll");
    wow64_directory_fn wow64_directory = find_function<wow64_directory_fn>(kernel, "GetSystemWow64DirectoryA");
    char wow64[MAX_PATH], system[MAX_PATH], windows[MAX_PATH];
    if (!wow64_directory || !fits(wow64_directory(wow64, MAX_PATH)) ||
        !fits(os::GetSystemDirectoryA(system, MAX_PATH)) || !fits(os::GetWindowsDirectoryA(windows, MAX_PATH)))
        return false;
    if (const char *rest = below(path, system)) {
        for (const char *folder : not_redirected) {
            if (std::strcmp(folder, "driverstore") == 0 && driverstore_redirected()) continue;
            size_t n = std::strlen(folder);
            if (begins_with_nocase(rest, folder) && (rest[n] == '\\' || rest[n] == 0))
                return copy_text(out, (unsigned)size, path) != 0;
        }
        return joined(out, size, wow64, rest);
    }
    if (const char *rest = below(path, windows)) {
        // The 32-bit folder's own name, for the lastgood copy of the system
        // folder.
        const char *wow64_name = file_name_part(wow64);
        const char *system_name = file_name_part(system);
        char lastgood[MAX_PATH];
        if (same_text_nocase(rest, "regedit.exe")) return joined(out, size, wow64, rest);
        if (joined(lastgood, sizeof lastgood, "lastgood", system_name))
            if (const char *inside = below(rest, lastgood)) {
                char folder[MAX_PATH];
                return std::snprintf(folder, sizeof folder, "%s\\lastgood\\%s", windows, wow64_name) <
                           (int)sizeof folder &&
                       joined(out, size, folder, inside);
            }
    }
    return copy_text(out, (unsigned)size, path) != 0;
}

bool redirected_elsewhere(const char *path, bool folder) {
    char windows[MAX_PATH], unredirected[MAX_PATH];
    if (!fits(os::GetWindowsDirectoryA(windows, MAX_PATH)) || !below(path, windows) || !runs_under_wow64() ||
        !unredirected_path(path, unredirected, sizeof unredirected) || same_text_nocase(path, unredirected))
        return false;
    if (!folder) return true;
    // A redirected folder that leads to a folder left alone is still walked,
    // for that folder (drivers, for drivers\etc).
    char system[MAX_PATH];
    if (!fits(os::GetSystemDirectoryA(system, MAX_PATH))) return false;
    const char *rest = below(path, system);
    if (!rest) return true;
    size_t n = std::strlen(rest);
    for (const char *kept : not_redirected)
        if (begins_with_nocase(kept, rest) && kept[n] == '\\') return false;
    return true;
}
