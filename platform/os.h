// The platform seam: every call of the OS and the C runtime that the engine
// (engine/, memory/, repair/) makes, in namespace os, under the platform's own
// names, argument lists and results. The win32 backend forwards each one to
// the real API; the host backend (platform/sim) answers from a simulated
// machine so the engine can be tested on Linux.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <tlhelp32.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#else
#include <cstdio>
#include "platform/win_types_host.h"
#endif

namespace os {

// Drives, directories, files
UINT GetDriveTypeA(LPCSTR root);
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA *data);
BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA *data);
BOOL FindClose(HANDLE find);
BOOL SetFileAttributesA(LPCSTR path, DWORD attributes);
BOOL DeleteFileA(LPCSTR path);
DWORD GetLastError();
BOOL CopyFileA(LPCSTR existing, LPCSTR target, BOOL fail_if_exists);
BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags);
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);
UINT GetSystemDirectoryA(LPSTR buffer, UINT size);
DWORD GetShortPathNameA(LPCSTR long_path, LPSTR short_path, DWORD size);
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *information);
DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD size);

// C runtime: low-level file calls
int _access(const char *path, int mode);
int _open(const char *path, int flags, int mode = 0);
int _read(int fd, void *buffer, unsigned int count);
long _lseek(int fd, long offset, int origin);
long _filelength(int fd);
int _close(int fd);
intptr_t _get_osfhandle(int fd);
int _write(int fd, const void *buffer, unsigned int count);

// C runtime: string calls that are not standard C
int _stricmp(const char *a, const char *b);
int _strnicmp(const char *a, const char *b, size_t n);

// Registry
LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options, REGSAM sam, PHKEY result);
LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size);
LONG RegDeleteValueA(HKEY key, LPCSTR name);
LONG RegDeleteKeyA(HKEY key, LPCSTR sub_key);
LONG RegCloseKey(HKEY key);
LONG RegQueryInfoKeyA(HKEY key, LPSTR class_name, LPDWORD class_size, LPDWORD reserved,
                      LPDWORD sub_keys, LPDWORD max_sub_key_length, LPDWORD max_class_length,
                      LPDWORD values, LPDWORD max_value_name_length, LPDWORD max_value_length,
                      LPDWORD security_descriptor_size, FILETIME *last_write_time);
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved,
                   LPDWORD type, LPBYTE data, LPDWORD data_size);
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved,
                   LPSTR class_name, LPDWORD class_size, FILETIME *last_write_time);

// Services
SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access);
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL CloseServiceHandle(SC_HANDLE handle);

// Messages and windows
BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT filter_min, UINT filter_max, UINT remove);
BOOL TranslateMessage(const MSG *msg);
LRESULT DispatchMessageA(const MSG *msg);
LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);

// Time
void Sleep(DWORD milliseconds);
DWORD GetTickCount();
BOOL QueryPerformanceFrequency(LARGE_INTEGER *frequency);
BOOL QueryPerformanceCounter(LARGE_INTEGER *count);

// Versions, libraries
BOOL GetVersionExA(OSVERSIONINFOA *info);
HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);

// Processes, tokens, privileges
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD process_id);
BOOL TerminateProcess(HANDLE process, UINT exit_code);
BOOL CloseHandle(HANDLE handle);
HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL LookupPrivilegeValueA(LPCSTR system, LPCSTR name, LUID *luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, PTOKEN_PRIVILEGES new_state,
                           DWORD length, PTOKEN_PRIVILEGES previous, LPDWORD return_length);
BOOL ExitWindowsEx(UINT flags, DWORD reason);

// Text: double-byte code pages and the OEM code page
BOOL IsDBCSLeadByte(BYTE byte);
BOOL CharToOemA(LPCSTR source, LPSTR destination);
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWCH wide, int wide_count, LPSTR narrow,
                        int narrow_size, LPCCH default_char, LPBOOL used_default);

// The system message box (the engine's two notices)
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// The C runtime's normal exit: exit handlers and static destructors run.
[[noreturn]] void exit(int status);

}  // namespace os

// The program's own message box (the confirmation dialog): text, caption and
// message-box style in, IDOK, IDCANCEL, IDYES or IDNO out. The program links
// the dialog; the host backend links a scripted stand-in.
int ConfirmBox(const char *text, const char *caption, UINT style);
