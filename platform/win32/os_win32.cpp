// The real backend of os::: each call forwards to the Windows API or the
// C runtime of the same name. No logic of the program lives here.
#include "platform/os.h"

#include <stdlib.h>
#include <string.h>

namespace os {

UINT GetDriveTypeA(LPCSTR root) { return ::GetDriveTypeA(root); }
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA *data) { return ::FindFirstFileA(pattern, data); }
BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA *data) { return ::FindNextFileA(find, data); }
BOOL FindClose(HANDLE find) { return ::FindClose(find); }
BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) { return ::SetFileAttributesA(path, attributes); }
BOOL DeleteFileA(LPCSTR path) { return ::DeleteFileA(path); }
DWORD GetLastError() { return ::GetLastError(); }
BOOL CopyFileA(LPCSTR existing, LPCSTR target, BOOL fail_if_exists) {
    return ::CopyFileA(existing, target, fail_if_exists);
}
BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags) { return ::MoveFileExA(existing, target, flags); }
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) { return ::GetWindowsDirectoryA(buffer, size); }
UINT GetSystemDirectoryA(LPSTR buffer, UINT size) { return ::GetSystemDirectoryA(buffer, size); }
DWORD GetShortPathNameA(LPCSTR long_path, LPSTR short_path, DWORD size) {
    return ::GetShortPathNameA(long_path, short_path, size);
}
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *information) {
    return ::GetFileInformationByHandle(file, information);
}
DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD size) {
    return ::ExpandEnvironmentStringsA(source, destination, size);
}

int _access(const char *path, int mode) { return ::_access(path, mode); }
int _open(const char *path, int flags, int mode) { return ::_open(path, flags, mode); }
int _read(int fd, void *buffer, unsigned int count) { return ::_read(fd, buffer, count); }
long _lseek(int fd, long offset, int origin) { return ::_lseek(fd, offset, origin); }
long _filelength(int fd) { return ::_filelength(fd); }
intptr_t _get_osfhandle(int fd) { return ::_get_osfhandle(fd); }
int _close(int fd) { return ::_close(fd); }
int _write(int fd, const void *buffer, unsigned int count) { return ::_write(fd, buffer, count); }


int _stricmp(const char *a, const char *b) { return ::_stricmp(a, b); }
int _strnicmp(const char *a, const char *b, size_t n) { return ::_strnicmp(a, b, n); }

LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options, REGSAM sam, PHKEY result) {
    return ::RegOpenKeyExA(key, sub_key, options, sam, result);
}
LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size) {
    return ::RegQueryValueExA(key, name, reserved, type, data, size);
}
LONG RegDeleteValueA(HKEY key, LPCSTR name) { return ::RegDeleteValueA(key, name); }
LONG RegDeleteKeyA(HKEY key, LPCSTR sub_key) { return ::RegDeleteKeyA(key, sub_key); }
LONG RegCloseKey(HKEY key) { return ::RegCloseKey(key); }
LONG RegQueryInfoKeyA(HKEY key, LPSTR class_name, LPDWORD class_size, LPDWORD reserved, LPDWORD sub_keys,
                      LPDWORD max_sub_key_length, LPDWORD max_class_length, LPDWORD values,
                      LPDWORD max_value_name_length, LPDWORD max_value_length,
                      LPDWORD security_descriptor_size, FILETIME *last_write_time) {
    return ::RegQueryInfoKeyA(key, class_name, class_size, reserved, sub_keys, max_sub_key_length,
                              max_class_length, values, max_value_name_length, max_value_length,
                              security_descriptor_size, last_write_time);
}
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved, LPDWORD type,
                   LPBYTE data, LPDWORD data_size) {
    return ::RegEnumValueA(key, index, name, name_size, reserved, type, data, data_size);
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved, LPSTR class_name,
                   LPDWORD class_size, FILETIME *last_write_time) {
    return ::RegEnumKeyExA(key, index, name, name_size, reserved, class_name, class_size, last_write_time);
}

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
    return ::OpenSCManagerA(machine, database, access);
}
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
    return ::OpenServiceA(manager, name, access);
}
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    return ::ControlService(service, control, status);
}
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) { return ::QueryServiceStatus(service, status); }
BOOL CloseServiceHandle(SC_HANDLE handle) { return ::CloseServiceHandle(handle); }

BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT filter_min, UINT filter_max, UINT remove) {
    return ::PeekMessageA(msg, hwnd, filter_min, filter_max, remove);
}
BOOL TranslateMessage(const MSG *msg) { return ::TranslateMessage(msg); }
LRESULT DispatchMessageA(const MSG *msg) { return ::DispatchMessageA(msg); }
LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    return ::SendMessageA(hwnd, msg, wparam, lparam);
}

void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }
DWORD GetTickCount() { return ::GetTickCount(); }
BOOL QueryPerformanceFrequency(LARGE_INTEGER *frequency) { return ::QueryPerformanceFrequency(frequency); }
BOOL QueryPerformanceCounter(LARGE_INTEGER *count) { return ::QueryPerformanceCounter(count); }

BOOL GetVersionExA(OSVERSIONINFOA *info) { return ::GetVersionExA(info); }
HMODULE LoadLibraryA(LPCSTR name) { return ::LoadLibraryA(name); }
FARPROC GetProcAddress(HMODULE module, LPCSTR name) { return ::GetProcAddress(module, name); }
BOOL FreeLibrary(HMODULE module) { return ::FreeLibrary(module); }

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD process_id) {
    return ::OpenProcess(access, inherit, process_id);
}
BOOL TerminateProcess(HANDLE process, UINT exit_code) { return ::TerminateProcess(process, exit_code); }
BOOL CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }
HANDLE GetCurrentProcess() { return ::GetCurrentProcess(); }
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    return ::OpenProcessToken(process, access, token);
}
BOOL LookupPrivilegeValueA(LPCSTR system, LPCSTR name, LUID *luid) {
    return ::LookupPrivilegeValueA(system, name, luid);
}
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, PTOKEN_PRIVILEGES new_state, DWORD length,
                           PTOKEN_PRIVILEGES previous, LPDWORD return_length) {
    return ::AdjustTokenPrivileges(token, disable_all, new_state, length, previous, return_length);
}
BOOL ExitWindowsEx(UINT flags, DWORD reason) { return ::ExitWindowsEx(flags, reason); }

BOOL IsDBCSLeadByte(BYTE byte) { return ::IsDBCSLeadByte(byte); }
BOOL CharToOemA(LPCSTR source, LPSTR destination) { return ::CharToOemA(source, destination); }
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWCH wide, int wide_count, LPSTR narrow,
                        int narrow_size, LPCCH default_char, LPBOOL used_default) {
    return ::WideCharToMultiByte(code_page, flags, wide, wide_count, narrow, narrow_size, default_char,
                                 used_default);
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    return ::MessageBoxA(owner, text, caption, type);
}

void exit(int status) { ::exit(status); }

}  // namespace os
