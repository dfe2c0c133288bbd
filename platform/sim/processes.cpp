// Simulated processes and the tool-help snapshot over them, and the os::
// calls that open, end and close process handles.

#include <cctype>
#include <cstring>

#include "platform/sim/internal.h"

namespace sim {

Process &Machine::add_process(DWORD pid, const std::string &image) {
    Process p;
    p.pid = pid;
    p.image = image;
    p.serial = next_serial++;
    processes.push_back(p);
    return processes.back();
}

Process *Machine::process_of(const Handle &h) {
    for (Process &p : processes)
        if (p.serial == h.serial) return &p;
    return nullptr;
}

bool has_open_handle(Machine &m, unsigned serial) {
    for (auto &h : m.handles)
        if (h.second.kind == Machine::process_handle && h.second.serial == serial) return true;
    return false;
}

void Machine::end_process(DWORD pid, const std::string &successor) {
    Process *p = process(pid);
    if (p) p->running = false;
    if (successor.empty()) return;
    if (p && has_open_handle(*this, p->serial)) p->id_successor = successor;
    else add_process(pid, successor);
}

// A running process holds its id; an ended one keeps it only until a new
// process is given the same id.
Process *Machine::process(DWORD pid) {
    Process *ended = nullptr;
    for (Process &p : processes)
        if (p.pid == pid) {
            if (p.running) return &p;
            if (!ended) ended = &p;
        }
    return ended;
}

void Machine::exit_process(DWORD pid) {
    for (Process &p : processes)
        if (p.pid == pid && p.running) p.running = false;
    for (Service &s : services)
        if (s.process_id == pid) {
            s.process_id = 0;
            s.state = SERVICE_STOPPED;
        }
}

bool Machine::holds_file(const std::string &path) {
    if (held_paths.count(folded(path))) return true;
    for (Process &p : processes) {
        if (!p.running) continue;
        if (iequals(p.image, path)) return true;
        for (const std::string &h : p.holds)
            if (iequals(h, path)) return true;
    }
    return false;
}

namespace api {

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD) {
    Machine &m = called("CreateToolhelp32Snapshot");
    if (!(flags & TH32CS_SNAPPROCESS) || m.should_fail("CreateToolhelp32Snapshot")) return INVALID_HANDLE_VALUE;
    Machine::Handle h;
    h.kind = Machine::snapshot_handle;
    for (Process &p : m.processes) {
        if (!p.running) continue;
        PROCESSENTRY32 e;
        std::memset(&e, 0, sizeof e);
        e.dwSize = sizeof e;
        e.th32ProcessID = p.pid;
        std::strncpy(e.szExeFile, (p.snapshot_name.empty() ? p.image : p.snapshot_name).c_str(), MAX_PATH - 1);
        h.entries.push_back(e);
    }
    return new_handle(m, h);
}

BOOL WINAPI Process32First(HANDLE snapshot, PROCESSENTRY32 *entry) {
    Machine &m = called("Process32First");
    auto it = m.handles.find(snapshot);
    if (it == m.handles.end() || it->second.kind != Machine::snapshot_handle || entry->dwSize != sizeof(PROCESSENTRY32) ||
        it->second.entries.empty() || m.should_fail("Process32First")) {
        m.last_error = it != m.handles.end() && it->second.entries.empty() ? ERROR_NO_MORE_FILES : ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    *entry = it->second.entries[0];
    it->second.next = 1;
    return TRUE;
}

BOOL WINAPI Process32Next(HANDLE snapshot, PROCESSENTRY32 *entry) {
    Machine &m = called("Process32Next");
    auto it = m.handles.find(snapshot);
    if (it == m.handles.end() || it->second.kind != Machine::snapshot_handle) return FALSE;
    // The end of the list says so; a failure says something else.
    if (m.should_fail("Process32Next")) {
        m.last_error = ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    if (it->second.next >= it->second.entries.size()) {
        m.last_error = ERROR_NO_MORE_FILES;
        return FALSE;
    }
    *entry = it->second.entries[it->second.next++];
    return TRUE;
}

}  // namespace api

}  // namespace sim

using sim::machine;

namespace os {

HANDLE OpenProcess(DWORD access, BOOL, DWORD pid) {
    sim::Machine &m = sim::called("OpenProcess");
    if (m.should_fail("OpenProcess")) {
        m.last_error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    sim::Process *p = m.process(pid);
    if (p && p->running && p->exits_on_its_own && (access & PROCESS_TERMINATE)) {
        m.end_process(pid, p->id_successor);
        p = m.process(pid);
    }
    if (!p || !p->running) {
        m.last_error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    if (p->needs_debug && !m.enabled_privileges.count("SeDebugPrivilege")) {
        m.last_error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    sim::Machine::Handle h;
    h.kind = sim::Machine::process_handle;
    h.pid = pid;
    h.serial = p->serial;
    h.access = access;
    return sim::new_handle(m, h);
}

BOOL TerminateProcess(HANDLE process, UINT) {
    sim::Machine &m = sim::called("TerminateProcess");
    auto it = m.handles.find(process);
    if (it == m.handles.end() || it->second.kind != sim::Machine::process_handle || !(it->second.access & PROCESS_TERMINATE)) {
        m.last_error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    sim::Process *p = m.process_of(it->second);
    if (!p || !p->running || p->unkillable || m.should_fail("TerminateProcess")) {
        m.last_error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    p->running = false;
    m.terminated.push_back(p->pid);
    m.terminated_at.push_back(m.slept_ms);
    m.terminated_images.push_back(p->image);
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    sim::Machine &m = sim::called("CloseHandle");
    auto it = m.handles.find(handle);
    if (it == m.handles.end()) return FALSE;
    sim::Machine::Handle h = it->second;
    m.handles.erase(it);
    --m.open_handles;
    // The last handle to an ended process frees its id for the process
    // waiting to be given it.
    sim::Process *p = h.kind == sim::Machine::process_handle ? m.process_of(h) : nullptr;
    if (p && !p->running && !p->id_successor.empty() && !sim::has_open_handle(m, p->serial)) {
        std::string successor = p->id_successor;
        p->id_successor.clear();
        m.add_process(h.pid, successor);
    }
    return TRUE;
}

HANDLE GetCurrentProcess() { return (HANDLE)(intptr_t)-1; }

}  // namespace os
