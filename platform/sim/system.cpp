// The rest of the system: version, the clock, system folders, environment,
// the C runtime's string calls, code pages, restart and the program's exit.

#include <cctype>
#include <cstring>

#include "platform/host_text.h"
#include "platform/sim/internal.h"

using sim::machine;

namespace os {

DWORD GetLastError() { return machine().last_error; }

int _stricmp(const char *a, const char *b) { return host_text::stricmp(a, b); }

int _strnicmp(const char *a, const char *b, size_t n) { return host_text::strnicmp(a, b, n); }

void Sleep(DWORD milliseconds) {
    sim::Machine &m = sim::called("Sleep");
    m.slept_ms += milliseconds;
    m.clock_ms += milliseconds;
}

DWORD GetTickCount() {
    sim::Machine &m = sim::called("GetTickCount");
    return m.clock_ms - m.clock_ms % m.tick_ms;
}

// A microsecond counter on the same clock.
BOOL QueryPerformanceFrequency(LARGE_INTEGER *frequency) {
    frequency->QuadPart = 1000000;
    return TRUE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER *count) {
    count->QuadPart = (int64_t)sim::called("QueryPerformanceCounter").clock_ms * 1000;
    return TRUE;
}

BOOL GetVersionExA(OSVERSIONINFOA *info) {
    sim::Machine &m = sim::called("GetVersionExA");
    if (m.version.query_fails || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return FALSE;
    info->dwPlatformId = m.version.platform_id;
    info->dwMajorVersion = m.version.major;
    info->dwMinorVersion = m.version.minor;
    return TRUE;
}

BOOL ExitWindowsEx(UINT flags, DWORD) {
    sim::Machine &m = sim::called("ExitWindowsEx");
    m.exit_windows_calls.push_back(flags);
    return m.exit_windows_result;
}

int WideCharToMultiByte(UINT, DWORD, LPCWCH wide, int count, LPSTR narrow, int size, LPCCH, LPBOOL) {
    sim::Machine &m = sim::called("WideCharToMultiByte");
    if (m.should_fail("WideCharToMultiByte")) return 0;
    std::string out;
    for (int i = 0; count < 0 ? true : i < count; ++i) {
        if (count < 0 && wide[i] == 0) break;
        out += wide[i] < 0x80 ? (char)wide[i] : '?';
    }
    if ((int)out.size() + 1 > size) return 0;
    std::memcpy(narrow, out.c_str(), out.size() + 1);
    return (int)out.size() + 1;
}

void exit(int status) {
    sim::called("exit");
    throw sim::ProgramExit{status};
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) { return sim::give_text(machine().windows_dir, buffer, size); }

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) { return sim::give_text(machine().system_dir, buffer, size); }


DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD size) {
    sim::Machine &m = sim::called("ExpandEnvironmentStringsA");
    if (m.should_fail("ExpandEnvironmentStringsA")) return 0;
    std::string in = source ? source : "", out;
    for (size_t i = 0; i < in.size();) {
        size_t close = in[i] == '%' ? in.find('%', i + 1) : std::string::npos;
        if (close != std::string::npos) {
            auto it = m.environment.find(sim::upper_text(in.substr(i + 1, close - i - 1)));
            if (it != m.environment.end()) {
                out += it->second;
                i = close + 1;
                continue;
            }
        }
        out += in[i++];
    }
    if (out.size() + 1 <= size) std::memcpy(destination, out.c_str(), out.size() + 1);
    return (DWORD)out.size() + 1;
}

BOOL IsDBCSLeadByte(BYTE byte) { return machine().lead_byte(byte) ? TRUE : FALSE; }

// Code page 1252 to 850 for the letters the tests use; 932 is its own OEM
// code page.
BOOL CharToOemA(LPCSTR source, LPSTR destination) {
    sim::Machine &m = sim::called("CharToOemA");
    static const unsigned char from[] = {0xE9, 0xE8, 0xE4, 0xF6, 0xFC, 0xC4, 0xD6, 0xDC, 0xE7, 0xF1};
    static const unsigned char to[] = {0x82, 0x8A, 0x84, 0x94, 0x81, 0x8E, 0x99, 0x9A, 0x87, 0xA4};
    size_t i = 0;
    for (; source[i]; ++i) {
        unsigned char c = (unsigned char)source[i];
        if (m.ansi_code_page != 932 && c >= 0x80) {
            unsigned char mapped = '?';
            for (size_t k = 0; k < sizeof from; ++k)
                if (from[k] == c) mapped = to[k];
            c = mapped;
        }
        destination[i] = (char)c;
    }
    destination[i] = 0;
    return TRUE;
}

}  // namespace os
