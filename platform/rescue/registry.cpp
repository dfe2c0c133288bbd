// The rescue backend's registry calls: HKEY_LOCAL_MACHINE over the disk's
// offline hives, Software being the SOFTWARE hive and System the SYSTEM
// hive, with System\CurrentControlSet standing for the numbered control set
// that Select\Current names. A handle holds its key's path, looked up again
// at every call, so a key deleted under an open handle is simply gone. Names
// and string data cross the calls in Windows-1252, as the ANSI functions
// hand them out. A hive that could not be opened refuses access to all of
// its keys; no other root exists. A frozen hive (one whose commit failed)
// refuses every deletion; a deletion the store refuses leaves its reason in
// the hive's slot for the front end to say.
#include <cstdio>
#include <cstring>

#include "platform/rescue/internal.h"

namespace rescue {

namespace {

// hive: -1 for HKEY_LOCAL_MACHINE itself, 0 SOFTWARE, 1 SYSTEM.
struct OpenKey {
    int hive = -1;
    std::string path;  // below the hive's root, UTF-8
};
std::map<HKEY, OpenKey> keys;

HiveSlot &slot(int hive) { return hive == 0 ? state().disk.software : state().disk.system; }

std::vector<std::string> parts_of(const std::string &path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

// The open key that `key` and `sub_key` (ANSI) name; false when `key` is no
// open key or the path leaves the two hives.
bool target_of(HKEY key, const char *sub_key, OpenKey &out) {
    if (key == HKEY_LOCAL_MACHINE) {
        out = OpenKey();
    } else {
        auto it = keys.find(key);
        if (it == keys.end()) return false;
        out = it->second;
    }
    std::vector<std::string> parts = parts_of(sub_key ? sub_key : "");
    size_t i = 0;
    if (out.hive < 0 && !parts.empty()) {
        if (same_name(parts[0], "SOFTWARE")) out.hive = 0;
        else if (same_name(parts[0], "SYSTEM")) out.hive = 1;
        else return false;
        i = 1;
    }
    for (; i < parts.size(); ++i) {
        std::string part = parts[i];
        if (out.hive == 1 && out.path.empty() && same_name(part, "CurrentControlSet")) {
            if (state().disk.current_control_set == 0) return false;
            char set[32];
            std::snprintf(set, sizeof set, "ControlSet%03u", (unsigned)state().disk.current_control_set);
            part = set;
        }
        out.path += (out.path.empty() ? "" : "\\") + ansi_to_utf8(part);
    }
    return true;
}

// The hive key of an open key; a Windows error when there is none.
LONG hive_key(const OpenKey &k, HiveStore *&store, HiveStore::Key &key) {
    store = slot(k.hive).store.get();
    if (!store) return ERROR_ACCESS_DENIED;
    HiveStatus s = store->find_key(k.path, key);
    return s == HiveStatus::ok ? ERROR_SUCCESS : s == HiveStatus::absent ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
}

LONG status_error(HiveStatus s) {
    return s == HiveStatus::ok ? ERROR_SUCCESS : s == HiveStatus::absent ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
}

// The names below an open key, in ANSI: the two hives for the machine key.
LONG names_of(HKEY handle, bool subkeys, std::vector<std::string> &names) {
    names.clear();
    OpenKey k;
    if (!target_of(handle, "", k)) return ERROR_INVALID_HANDLE;
    if (k.hive < 0) {
        if (subkeys) {
            if (state().disk.software.store) names.push_back("SOFTWARE");
            if (state().disk.system.store) names.push_back("SYSTEM");
        }
        return ERROR_SUCCESS;
    }
    HiveStore *store;
    HiveStore::Key key;
    LONG e = hive_key(k, store, key);
    if (e != ERROR_SUCCESS) return e;
    std::vector<std::string> utf8;
    HiveStatus s = subkeys ? store->subkeys(key, utf8) : store->values(key, utf8);
    if (s != HiveStatus::ok) return status_error(s);
    for (const std::string &n : utf8) names.push_back(utf8_to_ansi(n));
    return ERROR_SUCCESS;
}

}  // namespace

void forget_keys() { keys.clear(); }

}  // namespace rescue

using rescue::HiveStatus;
using rescue::HiveStore;
using rescue::OpenKey;

namespace os {

LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD, REGSAM, PHKEY result) {
    OpenKey k;
    if (key != HKEY_LOCAL_MACHINE && !rescue::keys.count(key)) {
        return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_USERS ? ERROR_FILE_NOT_FOUND
                                                                                         : ERROR_INVALID_HANDLE;
    }
    if (!rescue::target_of(key, sub_key, k)) return ERROR_FILE_NOT_FOUND;
    if (k.hive >= 0) {
        HiveStore *store;
        HiveStore::Key found;
        LONG e = rescue::hive_key(k, store, found);
        if (e != ERROR_SUCCESS) return e;
    }
    HKEY h = (HKEY)(rescue::state().next_handle += 4);
    rescue::keys[h] = k;
    *result = h;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    OpenKey k;
    if (key == HKEY_PERFORMANCE_DATA) return ERROR_FILE_NOT_FOUND;
    if (!rescue::keys.count(key) || !rescue::target_of(key, "", k)) return ERROR_INVALID_HANDLE;
    if (k.hive < 0) return ERROR_FILE_NOT_FOUND;
    HiveStore *store;
    HiveStore::Key found;
    LONG e = rescue::hive_key(k, store, found);
    if (e != ERROR_SUCCESS) return e;
    rescue::HiveValue v;
    HiveStatus s = store->read_value_ansi(found, rescue::ansi_to_utf8(name ? name : ""), v);
    if (s != HiveStatus::ok) return rescue::status_error(s);
    if (type) *type = v.type;
    DWORD need = (DWORD)v.data.size();
    if (data) {
        if (!size) return ERROR_INVALID_PARAMETER;
        if (*size < need) {
            *size = need;
            return ERROR_MORE_DATA;
        }
        if (need) std::memcpy(data, v.data.data(), need);
    }
    if (size) *size = need;
    return ERROR_SUCCESS;
}

LONG RegDeleteValueA(HKEY key, LPCSTR name) {
    OpenKey k;
    if (!rescue::keys.count(key) || !rescue::target_of(key, "", k)) return ERROR_INVALID_HANDLE;
    if (k.hive < 0) return ERROR_FILE_NOT_FOUND;
    HiveStore *store;
    HiveStore::Key found;
    LONG e = rescue::hive_key(k, store, found);
    if (e != ERROR_SUCCESS) return e;
    if (rescue::slot(k.hive).frozen) return ERROR_ACCESS_DENIED;
    HiveStatus s = store->delete_value(found, rescue::ansi_to_utf8(name ? name : ""));
    if (s == HiveStatus::failed) rescue::slot(k.hive).change_error = store->last_error();
    return rescue::status_error(s);
}

// As on NT: a key with subkeys is not deleted.
LONG RegDeleteKeyA(HKEY key, LPCSTR sub_key) {
    OpenKey k;
    if (!sub_key) return ERROR_INVALID_PARAMETER;
    if (key != HKEY_LOCAL_MACHINE && !rescue::keys.count(key)) return ERROR_INVALID_HANDLE;
    if (!rescue::target_of(key, sub_key, k)) return ERROR_FILE_NOT_FOUND;
    if (k.hive < 0 || k.path.empty()) return ERROR_ACCESS_DENIED;
    HiveStore *store;
    HiveStore::Key found;
    LONG e = rescue::hive_key(k, store, found);
    if (e != ERROR_SUCCESS) return e;
    std::vector<std::string> below;
    HiveStatus s = store->subkeys(found, below);
    if (s != HiveStatus::ok) return rescue::status_error(s);
    if (!below.empty() || rescue::slot(k.hive).frozen) return ERROR_ACCESS_DENIED;
    s = store->delete_key(found);
    if (s == HiveStatus::failed) rescue::slot(k.hive).change_error = store->last_error();
    return rescue::status_error(s);
}

LONG RegCloseKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_PERFORMANCE_DATA) return ERROR_SUCCESS;
    return rescue::keys.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegQueryInfoKeyA(HKEY key, LPSTR, LPDWORD, LPDWORD, LPDWORD sub_keys, LPDWORD, LPDWORD, LPDWORD values,
                      LPDWORD, LPDWORD, LPDWORD, FILETIME *) {
    std::vector<std::string> subkey_names, value_names;
    LONG e = rescue::names_of(key, true, subkey_names);
    if (e == ERROR_SUCCESS) e = rescue::names_of(key, false, value_names);
    if (e != ERROR_SUCCESS) return e;
    if (sub_keys) *sub_keys = (DWORD)subkey_names.size();
    if (values) *values = (DWORD)value_names.size();
    return ERROR_SUCCESS;
}

namespace {
// The index-th of names into name (*name_size bytes), as the enumerations
// hand a name out: its length without the string end in *name_size.
LONG hand_out_name(const std::vector<std::string> &names, DWORD index, LPSTR name, LPDWORD name_size) {
    if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
    const std::string &n = names[index];
    if (n.size() + 1 > *name_size) return ERROR_MORE_DATA;
    std::memcpy(name, n.c_str(), n.size() + 1);
    *name_size = (DWORD)n.size();
    return ERROR_SUCCESS;
}
}  // namespace

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD, LPDWORD type, LPBYTE data,
                   LPDWORD data_size) {
    std::vector<std::string> names;
    LONG e = rescue::names_of(key, false, names);
    if (e != ERROR_SUCCESS) return e;
    e = hand_out_name(names, index, name, name_size);
    if (e != ERROR_SUCCESS) return e;
    const std::string &n = names[index];
    if (type || data || data_size) {
        DWORD size = data_size ? *data_size : 0;
        LONG q = RegQueryValueExA(key, n.c_str(), nullptr, type, data_size ? data : nullptr, data_size ? &size : nullptr);
        if (data_size) *data_size = size;
        if (q != ERROR_SUCCESS) return q;
    }
    return ERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD, LPSTR, LPDWORD, FILETIME *) {
    std::vector<std::string> names;
    LONG e = rescue::names_of(key, true, names);
    if (e != ERROR_SUCCESS) return e;
    return hand_out_name(names, index, name, name_size);
}

}  // namespace os
