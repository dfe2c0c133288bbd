// The simulated registry: keys and typed values under the five roots, and the
// os:: registry calls over them (open, size-then-data queries, enumeration,
// deletion; a key with subkeys is not deleted, as on NT).

#include <cctype>
#include <cstring>

#include "platform/sim/internal.h"

namespace sim {

RegKey *Machine::reg_root(HKEY root) {
    uintptr_t v = (uintptr_t)root;
    if (v < 0x80000000u || v > 0x80000004u) return nullptr;
    return reg_roots[v - 0x80000000u].get();
}

// A full key path is "<root index>\sub\key".
RegKey *Machine::reg_resolve(const std::string &full, bool create) {
    std::vector<std::string> parts = split(full, '\\');
    if (parts.empty()) return nullptr;
    int idx = parts[0][0] - '0';
    if (idx < 0 || idx > 4) return nullptr;
    RegKey *cur = reg_roots[idx].get();
    if (idx == 2 && parts.size() > 2 && iequals(parts[1], "SYSTEM") && iequals(parts[2], "CurrentControlSet"))
        parts[2] = "ControlSet00" + std::to_string(current_control_set);
    for (size_t i = 1; i < parts.size(); ++i) {
        RegKey *next = nullptr;
        for (auto &k : cur->subkeys)
            if (iequals(k->name, parts[i])) next = k.get();
        if (!next) {
            if (!create) return nullptr;
            cur->subkeys.emplace_back(new RegKey());
            next = cur->subkeys.back().get();
            next->name = parts[i];
        }
        cur = next;
    }
    return cur;
}

static std::string root_prefix(HKEY root) {
    return std::string(1, (char)('0' + ((uintptr_t)root - 0x80000000u)));
}

RegKey *Machine::reg_key(HKEY root, const std::string &path, bool create) {
    if (!reg_root(root)) return nullptr;
    return reg_resolve(root_prefix(root) + "\\" + path, create);
}

void Machine::reg_set_raw(HKEY root, const std::string &path, const std::string &name,
                          const std::string &bytes, DWORD type) {
    RegKey *k = reg_key(root, path, true);
    for (auto &v : k->values)
        if (iequals(v.name, name)) {
            v.type = type;
            v.data = bytes;
            return;
        }
    k->values.push_back(RegValue{name, type, bytes});
}

void Machine::reg_set(HKEY root, const std::string &path, const std::string &name,
                      const std::string &text, DWORD type) {
    reg_set_raw(root, path, name, text + std::string(1, '\0'), type);
}

bool Machine::reg_has_key(HKEY root, const std::string &path) {
    return reg_key(root, path, false) != nullptr;
}

bool Machine::reg_has_value(HKEY root, const std::string &path, const std::string &name) {
    RegKey *k = reg_key(root, path, false);
    if (!k) return false;
    for (auto &v : k->values)
        if (iequals(v.name, name)) return true;
    return false;
}

std::string Machine::reg_text(HKEY root, const std::string &path, const std::string &name) {
    RegKey *k = reg_key(root, path, false);
    if (k)
        for (auto &v : k->values)
            if (iequals(v.name, name)) return std::string(v.data.c_str());
    return std::string();
}

}  // namespace sim

using sim::machine;

namespace os {

LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD, REGSAM, PHKEY result) {
    sim::Machine &m = sim::called("RegOpenKeyExA");
    std::string base;
    if (m.reg_root(key))
        base = sim::root_prefix(key);
    else if (m.open_key_paths.count(key))
        base = m.open_key_paths[key];
    else
        return ERROR_INVALID_HANDLE;
    std::string full = base + (sub_key && *sub_key ? std::string("\\") + sub_key : std::string());
    if (m.should_fail("RegOpenKeyExA")) return ERROR_ACCESS_DENIED;
    if (!m.reg_resolve(full, false)) return ERROR_FILE_NOT_FOUND;
    HKEY h = (HKEY)(m.next_handle += 4);
    m.open_key_paths[h] = full;
    ++m.open_keys;
    *result = h;
    return ERROR_SUCCESS;
}

// Notes a change to the key at full path while an enumerated handle to it is open.
static void note_change(const sim::RegKey *changed) {
    sim::Machine &m = machine();
    for (HKEY h : m.enumerated_keys) {
        auto it = m.open_key_paths.find(h);
        if (it != m.open_key_paths.end() && m.reg_resolve(it->second, false) == changed) m.deleted_while_enumerating = true;
    }
}

static sim::RegKey *open_key(HKEY key) {
    sim::Machine &m = machine();
    if (m.reg_root(key)) return m.reg_root(key);
    auto it = m.open_key_paths.find(key);
    return it == m.open_key_paths.end() ? nullptr : m.reg_resolve(it->second, false);
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    sim::Machine &m = sim::called("RegQueryValueExA");
    if (key == HKEY_PERFORMANCE_DATA) {
        m.perf_query_sizes.push_back(size ? *size : 0);
        if (m.should_fail("perf_query")) return ERROR_ACCESS_DENIED;
        if (!name || std::to_string(m.perf_process_index) != name) return ERROR_FILE_NOT_FOUND;
        std::string block = m.perf_block();
        if (type) *type = REG_BINARY;
        if (!size || !data) return ERROR_INVALID_PARAMETER;
        if (*size < block.size()) return ERROR_MORE_DATA;  // size left as it was, as on NT
        std::memcpy(data, block.data(), block.size());
        *size = (DWORD)block.size();
        return ERROR_SUCCESS;
    }
    sim::RegKey *k = open_key(key);
    if (!k) return ERROR_INVALID_HANDLE;
    if (m.should_fail("RegQueryValueExA")) return ERROR_ACCESS_DENIED;
    for (auto &v : k->values)
        if (sim::iequals(v.name, name ? name : "")) {
            if (type) *type = v.type;
            DWORD need = (DWORD)v.data.size();
            if (data) {
                if (!size) return ERROR_INVALID_PARAMETER;
                if (*size < need) {
                    *size = need;
                    return ERROR_MORE_DATA;
                }
                std::memcpy(data, v.data.data(), need);
            }
            if (size) *size = need;
            return ERROR_SUCCESS;
        }
    return ERROR_FILE_NOT_FOUND;
}

LONG RegDeleteValueA(HKEY key, LPCSTR name) {
    sim::Machine &m = sim::called("RegDeleteValueA");
    sim::RegKey *k = open_key(key);
    if (!k) return ERROR_INVALID_HANDLE;
    if (m.should_fail("RegDeleteValueA")) return ERROR_ACCESS_DENIED;
    for (auto it = k->values.begin(); it != k->values.end(); ++it)
        if (sim::iequals(it->name, name ? name : "")) {
            note_change(k);
            k->values.erase(it);
            return ERROR_SUCCESS;
        }
    return ERROR_FILE_NOT_FOUND;
}

LONG RegDeleteKeyA(HKEY key, LPCSTR sub_key) {
    sim::Machine &m = sim::called("RegDeleteKeyA");
    if (sub_key) m.deleted_keys.push_back(sub_key);
    sim::RegKey *k = open_key(key);
    if (!k || !sub_key) return ERROR_INVALID_HANDLE;
    if (m.should_fail("RegDeleteKeyA")) return ERROR_ACCESS_DENIED;
    std::vector<std::string> parts = sim::split(sub_key, '\\');
    sim::RegKey *parent = k;
    for (size_t i = 0; i + 1 < parts.size() && parent; ++i) {
        sim::RegKey *next = nullptr;
        for (auto &s : parent->subkeys)
            if (sim::iequals(s->name, parts[i])) next = s.get();
        parent = next;
    }
    if (!parent || parts.empty()) return ERROR_FILE_NOT_FOUND;
    for (auto it = parent->subkeys.begin(); it != parent->subkeys.end(); ++it)
        if (sim::iequals((*it)->name, parts.back())) {
            if (!(*it)->subkeys.empty()) return ERROR_ACCESS_DENIED;  // NT: no subtree delete
            note_change(parent);
            parent->subkeys.erase(it);
            return ERROR_SUCCESS;
        }
    return ERROR_FILE_NOT_FOUND;
}

LONG RegCloseKey(HKEY key) {
    sim::Machine &m = sim::called("RegCloseKey");
    if (m.reg_root(key)) return ERROR_SUCCESS;
    m.enumerated_keys.erase(key);
    if (!m.open_key_paths.erase(key)) return ERROR_INVALID_HANDLE;
    --m.open_keys;
    return ERROR_SUCCESS;
}

LONG RegQueryInfoKeyA(HKEY key, LPSTR, LPDWORD, LPDWORD, LPDWORD sub_keys, LPDWORD, LPDWORD, LPDWORD values,
                      LPDWORD, LPDWORD, LPDWORD, FILETIME *) {
    sim::Machine &m = sim::called("RegQueryInfoKeyA");
    sim::RegKey *k = open_key(key);
    if (!k) return ERROR_INVALID_HANDLE;
    if (m.should_fail("RegQueryInfoKeyA")) return ERROR_ACCESS_DENIED;
    if (sub_keys) *sub_keys = (DWORD)k->subkeys.size();
    if (values) *values = (DWORD)k->values.size();
    return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD, LPDWORD type, LPBYTE data,
                   LPDWORD data_size) {
    sim::Machine &m = sim::called("RegEnumValueA");
    sim::RegKey *k = open_key(key);
    if (!k) return ERROR_INVALID_HANDLE;
    m.enumerated_keys.insert(key);
    if (m.should_fail("RegEnumValueA")) return ERROR_ACCESS_DENIED;
    if (index >= k->values.size()) return ERROR_NO_MORE_ITEMS;
    const sim::RegValue &v = k->values[index];
    if (v.name.size() + 1 > *name_size) return ERROR_MORE_DATA;
    std::memcpy(name, v.name.c_str(), v.name.size() + 1);
    *name_size = (DWORD)v.name.size();
    if (type) *type = v.type;
    if (data && data_size) {
        if (*data_size < v.data.size()) return ERROR_MORE_DATA;
        std::memcpy(data, v.data.data(), v.data.size());
    }
    if (data_size) *data_size = (DWORD)v.data.size();
    return ERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD, LPSTR, LPDWORD, FILETIME *) {
    sim::Machine &m = sim::called("RegEnumKeyExA");
    sim::RegKey *k = open_key(key);
    if (!k) return ERROR_INVALID_HANDLE;
    m.enumerated_keys.insert(key);
    if (m.should_fail("RegEnumKeyExA")) return ERROR_ACCESS_DENIED;
    if (index >= k->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::string &n = k->subkeys[index]->name;
    if (n.size() + 1 > *name_size) return ERROR_MORE_DATA;
    std::memcpy(name, n.c_str(), n.size() + 1);
    *name_size = (DWORD)n.size();
    return ERROR_SUCCESS;
}

}  // namespace os
