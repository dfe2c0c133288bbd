// Registry helpers.
#include "repair/registry_helpers.h"

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

int delete_machine_key(const char *sub_key) {
    return os::RegDeleteKeyA(HKEY_LOCAL_MACHINE, sub_key) == ERROR_SUCCESS;
}
