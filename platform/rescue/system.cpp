// The rescue backend's machine: the drive map, the disk found on C: (its
// Windows folder, version and hives), and the rest of the seam. The system's
// version, folders and environment come from the disk's SOFTWARE hive, never
// from the rescue system. No process of the disk runs: the process look-ups
// find none, nothing is ended, no privilege is enabled, no service is
// reached and the rescue system is never restarted. Report messages go to
// the front end's handler; a stop request reaches the walk as WM_QUIT.
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/host_text.h"
#include "platform/rescue/internal.h"

namespace rescue {

void forget_keys();

namespace {

State *the_state = new State();
volatile sig_atomic_t stop_requested = 0;

std::string text_value(HiveStore *store, const std::string &key_path, const std::string &name) {
    HiveStore::Key key;
    HiveValue v;
    if (!store || store->find_key(key_path, key) != HiveStatus::ok ||
        store->read_value_ansi(key, name, v) != HiveStatus::ok ||
        (v.type != REG_SZ && v.type != REG_EXPAND_SZ))
        return std::string();
    std::string text(v.data.begin(), v.data.end());
    return text.substr(0, text.find('\0'));
}

bool dword_value(HiveStore *store, const std::string &key_path, const std::string &name, DWORD &out) {
    HiveStore::Key key;
    HiveValue v;
    if (!store || store->find_key(key_path, key) != HiveStatus::ok || store->read_value(key, name, v) != HiveStatus::ok ||
        v.type != REG_DWORD || v.data.size() < 4)
        return false;
    out = (DWORD)v.data[0] | (DWORD)v.data[1] << 8 | (DWORD)v.data[2] << 16 | (DWORD)v.data[3] << 24;
    return true;
}

void open_hive(HiveSlot &slot, const std::string &name, const std::string &config_dir) {
    slot.name = name;
    slot.windows_path = config_dir + "\\" + name;
    Resolved r;
    DWORD error;
    if (!resolve(slot.windows_path, r, error) || !r.exists || !S_ISREG(r.st.st_mode)) {
        release(r);
        slot.open_error = "the file does not exist";
        return;
    }
    slot.windows_path = r.windows;
    release(r);
    host_path(slot.windows_path, slot.file);
    slot.store = HiveStore::open(slot.file, slot.open_error);
}

// The folder on C: of that name, as it is named on disk; "" when none.
std::string folder_on_c(const std::string &name) {
    Resolved r;
    DWORD error;
    std::string out;
    if (resolve("C:\\" + name, r, error) && r.exists && S_ISDIR(r.st.st_mode)) out = r.windows;
    release(r);
    return out;
}

bool file_exists(const std::string &windows_path) {
    Resolved r;
    DWORD error;
    bool ok = resolve(windows_path, r, error) && r.exists && S_ISREG(r.st.st_mode);
    release(r);
    return ok;
}

// The folder that the WinDir line of a 9x MSDOS.SYS names on C: ("WIN98"
// for WinDir=C:\WIN98); "" when there is no such line.
std::string windows_in_msdos_sys() {
    Resolved r;
    DWORD error;
    std::string text;
    if (resolve("C:\\MSDOS.SYS", r, error) && r.exists && S_ISREG(r.st.st_mode) && r.st.st_size < 65536) {
        int fd = openat(r.parent_fd, r.leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        char buffer[65536];
        ssize_t n = fd >= 0 ? read(fd, buffer, sizeof buffer) : -1;
        if (n > 0) text.assign(buffer, (size_t)n);
        if (fd >= 0) close(fd);
    }
    release(r);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        while (!key.empty() && key.back() == ' ') key.pop_back();
        while (!value.empty() && value[0] == ' ') value.erase(0, 1);
        if (same_name(key, "WinDir") && value.size() > 3 && same_name(value.substr(0, 3), "C:\\"))
            return value.substr(3);
    }
    return std::string();
}

void read_version(Disk &d) {
    HiveStore *software = d.software.store.get();
    const char nt_key[] = "Microsoft\\Windows NT\\CurrentVersion";
    std::string version = text_value(software, nt_key, "CurrentVersion");
    d.major = (DWORD)std::strtoul(version.c_str(), nullptr, 10);
    size_t dot = version.find('.');
    d.minor = dot == std::string::npos ? 0 : (DWORD)std::strtoul(version.c_str() + dot + 1, nullptr, 10);
    // Windows 10 and later keep "6.3" there and the true numbers beside it.
    DWORD major, minor;
    if (dword_value(software, nt_key, "CurrentMajorVersionNumber", major) &&
        dword_value(software, nt_key, "CurrentMinorVersionNumber", minor)) {
        d.major = major;
        d.minor = minor;
    }
    std::string build = text_value(software, nt_key, "CurrentBuildNumber");
    if (build.empty()) build = text_value(software, nt_key, "CurrentBuild");
    d.build = (DWORD)std::strtoul(build.c_str(), nullptr, 10);
    d.service_pack = text_value(software, nt_key, "CSDVersion");
    d.product = text_value(software, nt_key, "ProductName");
    d.platform_id = VER_PLATFORM_WIN32_NT;
}

}  // namespace

State &state() { return *the_state; }
void set_error(DWORD error) { the_state->last_error = error; }
Disk &disk() { return the_state->disk; }

bool map_drive(char letter, const std::string &folder, std::string &error) {
    unsigned char l = upper_ansi((unsigned char)letter);
    if (l < 'C' || l > 'Z') {
        error = std::string("drive letter ") + letter + " is not one of C to Z";
        return false;
    }
    DriveRoot &d = state().drives[l - 'A'];
    if (d.fd >= 0) {
        error = std::string("drive ") + (char)l + ": is given twice";
        return false;
    }
    char *real = realpath(folder.c_str(), nullptr);
    std::string resolved = real ? real : "";
    std::free(real);
    if (resolved == "/") {
        error = "'" + folder + "' is the root of this system, not a Windows disk; nothing was scanned";
        return false;
    }
    // The kernel's own file systems hold no disk, and reading some of their
    // files waits or has effects.
    for (const char *system_folder : {"/proc", "/sys", "/dev"})
        if (resolved == system_folder || resolved.rfind(std::string(system_folder) + "/", 0) == 0) {
            error = "'" + folder + "' is a folder of this system's kernel, not a Windows disk; nothing was scanned";
            return false;
        }
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        error = "'" + folder + "' is not a folder that can be read: " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    // The root under another name (a bind mount of "/") is the same folder.
    struct stat system_root;
    if (stat("/", &system_root) == 0 && system_root.st_dev == st.st_dev && system_root.st_ino == st.st_ino) {
        close(fd);
        error = "'" + folder + "' is the root of this system, not a Windows disk; nothing was scanned";
        return false;
    }
    struct statfs fs;
    bool known = fstatfs(fd, &fs) == 0;
    if (known && (fs.f_type == PROC_SUPER_MAGIC || fs.f_type == SYSFS_MAGIC || fs.f_type == DEVPTS_SUPER_MAGIC)) {
        close(fd);
        error = "'" + folder + "' is a folder of this system's kernel, not a Windows disk; nothing was scanned";
        return false;
    }
    d.fat = known && fs.f_type == MSDOS_SUPER_MAGIC;
    d.fd = fd;
    d.device = st.st_dev;
    d.mount_known = mount_id(fd, "", d.mount);
    d.folder = resolved;
    return true;
}

bool open_disk(std::string &error) {
    State &s = state();
    Disk &d = s.disk;
    if (s.drives['C' - 'A'].fd < 0) {
        error = "no Windows disk is given";
        return false;
    }
    // The NT family: the hives in <Windows folder>\System32\config.
    std::string windows;
    for (const char *name : {"Windows", "WINNT"}) {
        std::string folder = folder_on_c(name);
        if (!folder.empty() && file_exists(folder + "\\System32\\config\\SOFTWARE")) {
            windows = folder;
            break;
        }
    }
    if (!windows.empty()) {
        d.kind = DiskKind::nt;
        open_hive(d.software, "SOFTWARE", folder_on_c(windows.substr(3) + "\\System32\\config"));
        // The Windows folder as the installation names it, when it is this one.
        std::string root = text_value(d.software.store.get(), "Microsoft\\Windows NT\\CurrentVersion", "SystemRoot");
        d.windows_dir = root.size() > 3 && same_name(root.substr(0, 3), "C:\\") && same_name(root, windows)
                            ? root
                            : windows;
        d.system_dir = d.windows_dir + "\\system32";
        Resolved r;
        DWORD e;
        if (resolve(d.system_dir, r, e) && r.exists) d.system_dir = d.windows_dir + r.windows.substr(windows.size());
        release(r);
        open_hive(d.system, "SYSTEM", folder_on_c(windows.substr(3) + "\\System32\\config"));
        if (!dword_value(d.system.store.get(), "Select", "Current", d.current_control_set)) d.current_control_set = 0;
        read_version(d);
        if (!d.software.store) {
            d.major = 5;  // unknown: an NT 5 generation is assumed, which changes nothing offline
            d.platform_id = VER_PLATFORM_WIN32_NT;
        }
        std::string program_files =
            text_value(d.software.store.get(), "Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir");
        std::string common_files = text_value(d.software.store.get(), "Microsoft\\Windows\\CurrentVersion", "CommonFilesDir");
        s.environment["PROGRAMFILES"] = program_files.empty() ? "C:\\Program Files" : program_files;
        if (!common_files.empty()) s.environment["COMMONPROGRAMFILES"] = common_files;
    } else {
        // A 9x disk: its Windows folder as MSDOS.SYS names it, else Windows.
        std::string named = windows_in_msdos_sys();
        std::string folder = named.empty() ? std::string() : folder_on_c(named);
        if (folder.empty()) folder = folder_on_c("Windows");
        if (folder.empty() || !file_exists(folder + "\\SYSTEM.DAT")) {
            error = "'" + s.drives['C' - 'A'].folder +
                    "' holds no Windows installation (no Windows\\System32\\config\\SOFTWARE, and no 9x "
                    "Windows\\SYSTEM.DAT); nothing was scanned";
            return false;
        }
        d.kind = DiskKind::win9x;
        d.windows_dir = folder;
        d.system_dir = folder + "\\SYSTEM";
        Resolved r;
        DWORD e;
        if (resolve(d.system_dir, r, e) && r.exists) d.system_dir = r.windows;
        release(r);
        d.platform_id = VER_PLATFORM_WIN32_WINDOWS;
        d.major = 4;
        d.minor = 0;
        s.environment["PROGRAMFILES"] = "C:\\Program Files";
    }
    s.environment["SYSTEMROOT"] = d.windows_dir;
    s.environment["WINDIR"] = d.windows_dir;
    s.environment["SYSTEMDRIVE"] = "C:";
    return true;
}

bool host_path(const std::string &windows_path, std::string &out) {
    Resolved r;
    DWORD error;
    bool ok = resolve(windows_path, r, error) && r.exists;
    if (ok) {
        out = state().drives[r.drive].folder;
        size_t start = 3;
        while (start <= r.windows.size() && r.windows.size() > 3) {
            size_t end = r.windows.find('\\', start);
            if (end == std::string::npos) end = r.windows.size();
            out += "/" + ansi_to_utf8(r.windows.substr(start, end - start));
            start = end + 1;
        }
        // The last component exactly as on disk (its ANSI form may be lossy).
        if (r.parent_fd >= 0) out = out.substr(0, out.rfind('/') + 1) + r.leaf;
    }
    release(r);
    return ok;
}

void set_report_handler(LRESULT (*handler)(UINT, WPARAM, LPARAM)) { state().report = handler; }

void request_stop() { stop_requested = 1; }

void reset() {
    for (DriveRoot &d : the_state->drives)
        if (d.fd >= 0) close(d.fd);
    forget_keys();
    LRESULT (*report)(UINT, WPARAM, LPARAM) = the_state->report;
    delete the_state;
    the_state = new State();
    the_state->report = report;
    stop_requested = 0;
}

}  // namespace rescue

using rescue::set_error;
using rescue::state;

namespace os {

DWORD GetLastError() { return state().last_error; }

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    const std::string &t = state().disk.windows_dir;
    if (t.size() + 1 > size) return (UINT)t.size() + 1;
    std::memcpy(buffer, t.c_str(), t.size() + 1);
    return (UINT)t.size();
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
    const std::string &t = state().disk.system_dir;
    if (t.size() + 1 > size) return (UINT)t.size() + 1;
    std::memcpy(buffer, t.c_str(), t.size() + 1);
    return (UINT)t.size();
}

// The disk's own variables (SystemRoot, windir, SystemDrive, ProgramFiles);
// any other is left as written, as Windows leaves an unknown one.
DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD size) {
    std::string in = source ? source : "", out;
    for (size_t i = 0; i < in.size();) {
        size_t close_at = in[i] == '%' ? in.find('%', i + 1) : std::string::npos;
        if (close_at != std::string::npos) {
            std::string name;
            for (char c : in.substr(i + 1, close_at - i - 1)) name += (char)rescue::upper_ansi((unsigned char)c);
            auto it = state().environment.find(name);
            if (it != state().environment.end()) {
                out += it->second;
                i = close_at + 1;
                continue;
            }
        }
        out += in[i++];
    }
    if (out.size() + 1 <= size) std::memcpy(destination, out.c_str(), out.size() + 1);
    return (DWORD)out.size() + 1;
}

int _stricmp(const char *a, const char *b) { return host_text::stricmp(a, b); }

int _strnicmp(const char *a, const char *b, size_t n) { return host_text::strnicmp(a, b, n); }

// No service control manager runs the disk's services.
SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) {
    set_error(ERROR_ACCESS_DENIED);
    return nullptr;
}
SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) { return nullptr; }
BOOL ControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS) { return FALSE; }
BOOL QueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS) { return FALSE; }
BOOL CloseServiceHandle(SC_HANDLE) { return FALSE; }

// The only message is the stop request, as WM_QUIT.
BOOL PeekMessageA(LPMSG msg, HWND, UINT, UINT, UINT remove) {
    if (!rescue::stop_requested) return FALSE;
    std::memset(msg, 0, sizeof *msg);
    msg->message = WM_QUIT;
    if (remove & PM_REMOVE) rescue::stop_requested = 0;
    return TRUE;
}
BOOL TranslateMessage(const MSG *) { return FALSE; }
LRESULT DispatchMessageA(const MSG *) { return 0; }

LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (!hwnd || !state().report) return 0;
    return state().report(msg, wparam, lparam);
}

void Sleep(DWORD milliseconds) {
    struct timespec t = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

DWORD GetTickCount() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (DWORD)((uint64_t)t.tv_sec * 1000u + (uint64_t)t.tv_nsec / 1000000u);
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER *frequency) {
    frequency->QuadPart = 1000000000;
    return TRUE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER *count) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    count->QuadPart = (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
    return TRUE;
}

BOOL GetVersionExA(OSVERSIONINFOA *info) {
    if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const rescue::Disk &d = state().disk;
    info->dwPlatformId = d.platform_id;
    info->dwMajorVersion = d.major;
    info->dwMinorVersion = d.minor;
    info->dwBuildNumber = d.build;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    std::strncpy(info->szCSDVersion, d.service_pack.c_str(), sizeof info->szCSDVersion - 1);
    return TRUE;
}

}  // namespace os

// The process look-ups of kernel32 and psapi: each finds no process.
namespace rescue {
namespace {

const HANDLE empty_snapshot = (HANDLE)(uintptr_t)0x7FFF0000;

HANDLE WINAPI create_snapshot(DWORD, DWORD) { return empty_snapshot; }

BOOL WINAPI process_first(HANDLE, PROCESSENTRY32 *) {
    set_error(ERROR_NO_MORE_FILES);
    return FALSE;
}

BOOL WINAPI process_next(HANDLE, PROCESSENTRY32 *) {
    set_error(ERROR_NO_MORE_FILES);
    return FALSE;
}

BOOL WINAPI enum_processes(DWORD *, DWORD, DWORD *returned) {
    *returned = 0;
    return TRUE;
}

DWORD WINAPI module_file_name(HANDLE, HMODULE, LPSTR, DWORD) {
    set_error(ERROR_INVALID_HANDLE);
    return 0;
}

// The disk is seen as it is: no file system redirection.
BOOL WINAPI is_wow64_process(HANDLE, BOOL *wow64) {
    *wow64 = FALSE;
    return TRUE;
}

const HMODULE kernel32 = (HMODULE)(uintptr_t)0x10000;
const HMODULE psapi = (HMODULE)(uintptr_t)0x20000;

}  // namespace
}  // namespace rescue

namespace os {

HMODULE LoadLibraryA(LPCSTR name) {
    std::string n;
    for (const char *c = name ? name : ""; *c; ++c) n += (char)std::tolower((unsigned char)*c);
    if (n == "kernel32.dll") return rescue::kernel32;
    if (n == "psapi.dll") return rescue::psapi;
    set_error(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    std::string n = name ? name : "";
    void *f = nullptr;
    if (module == rescue::kernel32) {
        if (n == "CreateToolhelp32Snapshot") f = (void *)&rescue::create_snapshot;
        if (n == "Process32First") f = (void *)&rescue::process_first;
        if (n == "Process32Next") f = (void *)&rescue::process_next;
        if (n == "IsWow64Process") f = (void *)&rescue::is_wow64_process;
    } else if (module == rescue::psapi) {
        if (n == "EnumProcesses") f = (void *)&rescue::enum_processes;
        if (n == "GetModuleFileNameExA") f = (void *)&rescue::module_file_name;
    }
    return reinterpret_cast<FARPROC>(f);
}

BOOL FreeLibrary(HMODULE) { return TRUE; }

HANDLE OpenProcess(DWORD, BOOL, DWORD) {
    set_error(ERROR_INVALID_PARAMETER);
    return nullptr;
}

BOOL TerminateProcess(HANDLE, UINT) {
    set_error(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL CloseHandle(HANDLE handle) { return handle == rescue::empty_snapshot ? TRUE : FALSE; }

HANDLE GetCurrentProcess() { return (HANDLE)(intptr_t)-1; }

BOOL OpenProcessToken(HANDLE, DWORD, PHANDLE) {
    set_error(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL LookupPrivilegeValueA(LPCSTR, LPCSTR, LUID *) {
    set_error(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL AdjustTokenPrivileges(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, LPDWORD) {
    set_error(ERROR_ACCESS_DENIED);
    return FALSE;
}

// Never the rescue system's restart.
BOOL ExitWindowsEx(UINT, DWORD) {
    set_error(ERROR_ACCESS_DENIED);
    return FALSE;
}

// Windows-1252 has no lead bytes.
BOOL IsDBCSLeadByte(BYTE) { return FALSE; }

// Only for a 9x rename file, which is never written here: ASCII is kept,
// anything else becomes "?".
BOOL CharToOemA(LPCSTR source, LPSTR destination) {
    size_t i = 0;
    for (; source[i]; ++i) destination[i] = (unsigned char)source[i] < 0x80 ? source[i] : '?';
    destination[i] = 0;
    return TRUE;
}

int WideCharToMultiByte(UINT, DWORD, LPCWCH wide, int count, LPSTR narrow, int size, LPCCH, LPBOOL) {
    std::string out;
    for (int i = 0; count < 0 ? true : i < count; ++i) {
        if (count < 0 && wide[i] == 0) break;
        unsigned char b = 0;
        std::string u;
        uint16_t c = wide[i];
        // Through UTF-8 to the code page.
        if (c < 0x80) u = std::string(1, (char)c);
        else if (c < 0x800) u = {(char)(0xC0 | c >> 6), (char)(0x80 | (c & 0x3F))};
        else u = {(char)(0xE0 | c >> 12), (char)(0x80 | ((c >> 6) & 0x3F)), (char)(0x80 | (c & 0x3F))};
        std::string a = rescue::utf8_to_ansi(u);
        b = a.empty() ? '?' : (unsigned char)a[0];
        out += (char)b;
    }
    if ((int)out.size() + 1 > size) return 0;
    std::memcpy(narrow, out.c_str(), out.size() + 1);
    return (int)out.size() + 1;
}

int MessageBoxA(HWND, LPCSTR, LPCSTR, UINT) { return IDOK; }

void exit(int status) { std::exit(status); }

}  // namespace os
