// What the simulated machine's files share among themselves (not part of the
// test API in machine.h): the call counter every os:: call starts with, text
// helpers that follow the platform's rules, handles, and the functions that
// GetProcAddress hands out.
#pragma once
#include <string>
#include <vector>

#include "platform/sim/machine.h"

namespace sim {

// Counts one call of the named os:: function and returns the machine.
// A test's on_call hook runs first, outside any other hook call, so that
// the machine can change between any two calls of the program.
inline Machine &called(const char *name) {
    Machine &m = machine();
    ++m.calls[name];
    if (m.on_call && !m.in_on_call) {
        m.in_on_call = true;
        m.on_call(name);
        m.in_on_call = false;
    }
    return m;
}

char lower(char c);
std::string folded(const std::string &s);  // lower-cased, for name look-ups
std::string upper_text(std::string s);
// Splits at every sep that is a character of its own (never the second byte
// of a double-byte character).
std::vector<std::string> split(const std::string &s, char sep);
// The position of the last backslash that is a character of its own.
size_t last_slash(const std::string &s);
// A path's file name without its extension.
std::string base_name(const std::string &image);
void put32(std::string &d, size_t at, uint32_t v);
// Copies text and its terminator into buffer when it fits, as the system's
// folder and environment calls do: the length copied, or the size needed.
UINT give_text(const std::string &text, LPSTR buffer, UINT size);
// A new process, snapshot or token handle, counted as open.
HANDLE new_handle(Machine &m, Machine::Handle h);
// Whether a process handle to the process of this serial is open.
bool has_open_handle(Machine &m, unsigned serial);

// The functions found through GetProcAddress.
namespace api {
HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD process_id);
BOOL WINAPI Process32First(HANDLE snapshot, PROCESSENTRY32 *entry);
BOOL WINAPI Process32Next(HANDLE snapshot, PROCESSENTRY32 *entry);
BOOL WINAPI EnumProcesses(DWORD *ids, DWORD bytes, DWORD *returned);
DWORD WINAPI GetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR name, DWORD size);
BOOL WINAPI IsWow64Process(HANDLE process, BOOL *wow64);
UINT WINAPI GetSystemWow64DirectoryA(LPSTR buffer, UINT size);
}  // namespace api

}  // namespace sim
