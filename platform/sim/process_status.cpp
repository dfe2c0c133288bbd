// The process-status functions (EnumProcesses, GetModuleFileNameExA) and the
// run-time look-up of functions through LoadLibraryA and GetProcAddress,
// with libraries and functions that a test can make missing.

#include <cctype>
#include <cstring>

#include "platform/sim/internal.h"

namespace sim {

namespace api {

BOOL WINAPI EnumProcesses(DWORD *ids, DWORD bytes, DWORD *returned) {
    Machine &m = called("EnumProcesses");
    DWORD n = 0;
    if (m.should_fail("EnumProcesses")) {
        *returned = 0;
        return FALSE;
    }
    for (Process &p : m.processes)
        if (p.running && (n + 1) * 4 <= bytes) ids[n++] = p.pid;
    *returned = n * 4;
    return TRUE;
}

DWORD WINAPI GetModuleFileNameExA(HANDLE process, HMODULE, LPSTR name, DWORD size) {
    Machine &m = called("GetModuleFileNameExA");
    auto it = m.handles.find(process);
    if (it == m.handles.end() || it->second.kind != sim::Machine::process_handle || size == 0 ||
        m.should_fail("GetModuleFileNameExA"))
        return 0;
    if ((it->second.access & (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ)) !=
        (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ))
        return 0;
    Process *p = m.process_of(it->second);
    if (!p || !p->running || p->hides_module) return 0;
    std::string image = (p->module_name.empty() ? p->image : p->module_name).substr(0, size - 1);
    std::memcpy(name, image.c_str(), image.size() + 1);
    return (DWORD)image.size();
}

BOOL WINAPI IsWow64Process(HANDLE, BOOL *wow64) {
    *wow64 = called("IsWow64Process").wow64 ? TRUE : FALSE;
    return TRUE;
}

// Fails outside WOW64, as on 32-bit Windows.
UINT WINAPI GetSystemWow64DirectoryA(LPSTR buffer, UINT size) {
    Machine &m = called("GetSystemWow64DirectoryA");
    if (!m.wow64) {
        m.last_error = ERROR_CALL_NOT_IMPLEMENTED;
        return 0;
    }
    return give_text(m.wow64_system_dir, buffer, size);
}

}  // namespace api

}  // namespace sim

using sim::machine;

namespace os {

HMODULE LoadLibraryA(LPCSTR name) {
    sim::Machine &m = sim::called("LoadLibraryA");
    std::string n = sim::folded(name ? name : "");
    if (m.missing_libraries.count(n) || m.should_fail("LoadLibraryA")) return nullptr;
    if (n == "kernel32.dll") return (HMODULE)(uintptr_t)0x10000;
    if (n == "psapi.dll") return (HMODULE)(uintptr_t)0x20000;
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    sim::Machine &m = sim::called("GetProcAddress");
    std::string n = name ? name : "";
    if (m.missing_functions.count(n) || m.should_fail("GetProcAddress")) return nullptr;
    void *f = nullptr;
    if (module == (HMODULE)(uintptr_t)0x10000) {
        if (n == "CreateToolhelp32Snapshot") f = (void *)&sim::api::CreateToolhelp32Snapshot;
        if (n == "Process32First") f = (void *)&sim::api::Process32First;
        if (n == "Process32Next") f = (void *)&sim::api::Process32Next;
        if (n == "IsWow64Process") f = (void *)&sim::api::IsWow64Process;
        if (n == "GetSystemWow64DirectoryA") f = (void *)&sim::api::GetSystemWow64DirectoryA;
    } else if (module == (HMODULE)(uintptr_t)0x20000) {
        if (n == "EnumProcesses") f = (void *)&sim::api::EnumProcesses;
        if (n == "GetModuleFileNameExA") f = (void *)&sim::api::GetModuleFileNameExA;
    }
    return reinterpret_cast<FARPROC>(f);
}

BOOL FreeLibrary(HMODULE) { return TRUE; }

}  // namespace os
