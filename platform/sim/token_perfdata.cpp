// The process token with its privileges, and the performance data of the
// running processes (generated in the 32-bit layout, or a block a test
// supplies).

#include <cctype>
#include <cstring>

#include "platform/sim/internal.h"

namespace sim {

void Machine::install_perflib(int process_index, int id_process_index) {
    perf_process_index = process_index;
    perf_id_process_index = id_process_index;
    std::string list;
    auto add = [&](int index, const char *name) {
        list += std::to_string(index);
        list += '\0';
        list += name;
        list += '\0';
    };
    add(1, "1847");
    add(2, "System");
    add(6, "% Processor Time");
    add(process_index, "Process");
    add(id_process_index, "ID Process");
    list += '\0';
    reg_set_raw(HKEY_LOCAL_MACHINE, "software\\microsoft\\windows nt\\currentversion\\perflib\\009",
                "Counters", list, REG_MULTI_SZ);
}

std::string Machine::perf_block() {
    if (perf_block_given) return perf_block_supplied;
    std::vector<std::pair<std::string, DWORD>> instances;
    instances.push_back({"Idle", 0});
    for (Process &p : processes)
        if (p.running) instances.push_back({p.perf_name.empty() ? base_name(p.image) : p.perf_name, p.pid});
    instances.push_back({"_Total", 0});

    std::string d(88, '\0');
    const char sig[] = {'P', 0, 'E', 0, 'R', 0, 'F', 0};
    std::memcpy(&d[0], sig, 8);
    put32(d, 8, 1);
    put32(d, 12, 1);
    put32(d, 16, 1);
    put32(d, 24, 88);  // HeaderLength
    put32(d, 28, 1);   // NumObjectTypes
    size_t object = d.size();
    d.resize(object + 64 + 2 * 40, '\0');
    put32(d, object + 4, 64 + 2 * 40);  // DefinitionLength
    put32(d, object + 8, 64);           // HeaderLength
    put32(d, object + 12, (uint32_t)perf_process_index);
    put32(d, object + 32, 2);  // NumCounters
    put32(d, object + 40, (uint32_t)instances.size());
    size_t def = object + 64;
    put32(d, def + 0, 40);
    put32(d, def + 4, 6);   // % Processor Time
    put32(d, def + 32, 8);
    put32(d, def + 36, 8);
    put32(d, def + 40 + 0, 40);
    put32(d, def + 40 + 4, (uint32_t)perf_id_process_index);
    put32(d, def + 40 + 32, 4);
    put32(d, def + 40 + 36, 16);
    for (auto &inst : instances) {
        size_t at = d.size();
        size_t name_bytes = (inst.first.size() + 1) * 2;
        size_t length = (24 + name_bytes + 7) & ~(size_t)7;
        d.resize(at + length + 24, '\0');
        put32(d, at + 0, (uint32_t)length);
        put32(d, at + 16, 24);  // NameOffset
        put32(d, at + 20, (uint32_t)name_bytes);
        for (size_t i = 0; i < inst.first.size(); ++i) d[at + 24 + 2 * i] = inst.first[i];
        put32(d, at + length + 0, 24);  // counter block ByteLength
        put32(d, at + length + 16, inst.second);
    }
    put32(d, object + 0, (uint32_t)(d.size() - object));
    put32(d, 20, (uint32_t)d.size());
    return d;
}

}  // namespace sim

using sim::machine;

namespace os {

BOOL OpenProcessToken(HANDLE, DWORD, PHANDLE token) {
    sim::Machine &m = sim::called("OpenProcessToken");
    if (m.token_open_fails) {
        m.last_error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    sim::Machine::Handle h;
    h.kind = sim::Machine::token_handle;
    *token = sim::new_handle(m, h);
    return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR, LPCSTR name, LUID *luid) {
    sim::called("LookupPrivilegeValueA");
    std::string n = name ? name : "";
    luid->HighPart = 0;
    luid->LowPart = n == "SeDebugPrivilege" ? 20 : n == "SeShutdownPrivilege" ? 19 : 0;
    return luid->LowPart != 0;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL, PTOKEN_PRIVILEGES state, DWORD, PTOKEN_PRIVILEGES, LPDWORD) {
    sim::Machine &m = sim::called("AdjustTokenPrivileges");
    auto it = m.handles.find(token);
    if (it == m.handles.end() || it->second.kind != sim::Machine::token_handle) {
        m.last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    m.last_error = ERROR_SUCCESS;
    for (DWORD i = 0; i < state->PrivilegeCount; ++i) {
        DWORD id = state->Privileges[i].Luid.LowPart;
        std::string name = id == 20 ? "SeDebugPrivilege" : id == 19 ? "SeShutdownPrivilege" : "";
        if (name.empty() || !m.held_privileges.count(name)) {
            m.last_error = ERROR_NOT_ALL_ASSIGNED;
            continue;
        }
        if (state->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) m.enabled_privileges.insert(name);
    }
    return TRUE;
}

}  // namespace os
