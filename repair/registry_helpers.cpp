// Registry helpers.
#include "repair/registry_helpers.h"

#include <string>
#include <vector>

int delete_registry_value(HKEY root, const char *sub_key, const char *value_name) {
    HKEY key;
    if (os::RegOpenKeyExA(root, sub_key, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return 0;
    if (os::RegDeleteValueA(key, value_name) != ERROR_SUCCESS) {
        os::RegCloseKey(key);
        return 0;
    }
    return os::RegCloseKey(key) == ERROR_SUCCESS;
}

int read_registry_value(HKEY root, const char *sub_key, const char *value_name, char *buffer,
                        DWORD capacity) {
    buffer[0] = 0;
    HKEY key;
    if (os::RegOpenKeyExA(root, sub_key, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    DWORD type = 0, size = 0;
    int ok = os::RegQueryValueExA(key, value_name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
    // One byte is kept for the terminator that binary data may lack.
    if (ok && size >= capacity) ok = 0;
    if (ok) {
        DWORD got = size;
        ok = os::RegQueryValueExA(key, value_name, nullptr, &type, (BYTE *)buffer, &got) == ERROR_SUCCESS &&
             got < capacity;
        buffer[ok ? got : 0] = 0;
    }
    if (os::RegCloseKey(key) != ERROR_SUCCESS) ok = 0;
    if (!ok) buffer[0] = 0;
    return ok;
}

int registry_value_exists(HKEY root, const char *sub_key, const char *value_name) {
    HKEY key;
    if (os::RegOpenKeyExA(root, sub_key, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    DWORD type = 0, size = 0;
    int found = os::RegQueryValueExA(key, value_name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
    if (os::RegCloseKey(key) != ERROR_SUCCESS) found = 0;
    return found;
}

int delete_machine_key(const char *sub_key) {
    return os::RegDeleteKeyA(HKEY_LOCAL_MACHINE, sub_key) == ERROR_SUCCESS;
}

namespace {

// Below this depth a key tree is not followed further (and so not deleted).
enum { deepest_key_tree = 32 };

int delete_tree(const std::string &path, int depth) {
    if (depth > deepest_key_tree) return 0;
    HKEY key;
    if (os::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    // The names are collected first and the key closed: nothing is deleted
    // while it is being enumerated.
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD size = sizeof name;
        if (os::RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.push_back(std::string(name, size < sizeof name ? size : sizeof name - 1));
    }
    os::RegCloseKey(key);
    for (const std::string &name : names) delete_tree(path + "\\" + name, depth + 1);
    return delete_machine_key(path.c_str());
}

}  // namespace

int delete_machine_key_tree(const char *sub_key) { return sub_key[0] ? delete_tree(sub_key, 0) : 0; }
