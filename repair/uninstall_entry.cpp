// Uninstall entry cleanup.
//
// Both values are read as text through one 100-byte buffer. A value whose
// data is longer is still read whole (never past a buffer) and then tested on
// its first 100 bytes only, as if the buffer had taken what fits.
#include "repair/uninstall_entry.h"

#include <cstring>
#include <vector>

#include "engine/scan_state.h"
#include "platform/os.h"

namespace {

enum : unsigned { data_buffer_size = 100, largest_value = 65536 };

// Reads value as text cut to data_buffer_size bytes; 0 when a query fails.
int read_text(HKEY key, const char *value, char (&text)[data_buffer_size + 1]) {
    DWORD type = 0;
    DWORD size = 0;
    if (os::RegQueryValueExA(key, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return 0;
    if (size > largest_value) return 0;
    std::vector<BYTE> data(size + 1, 0);
    DWORD got = size;
    if (os::RegQueryValueExA(key, value, nullptr, &type, data.data(), &got) != ERROR_SUCCESS) return 0;
    if (got > size) got = size;
    std::memset(text, 0, sizeof text);
    std::memcpy(text, data.data(), got < (DWORD)data_buffer_size ? got : (DWORD)data_buffer_size);
    return 1;
}

// One step: open key, read value, delete it when its text holds needle. A
// detect-only scan opens the key for reading only and, where the removal
// deletes, reports the value found (once in the scan) under what.
int clean_value(const char *key_path, const char *value, const char *needle, const char *what) {
    bool detect = scan_state.detect_only != 0;
    HKEY key;
    if (os::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, detect ? KEY_READ : KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return 0;
    char text[data_buffer_size + 1];
    if (!read_text(key, value, text)) {
        os::RegCloseKey(key);
        return 0;
    }
    bool found = std::strstr(text, needle) != nullptr;
    if (found && !detect && os::RegDeleteValueA(key, value) != ERROR_SUCCESS) {
        os::RegCloseKey(key);
        return 0;
    }
    int closed = os::RegCloseKey(key) == ERROR_SUCCESS;
    if (found && detect && first_report_of(key_path, value))
        report("System Registry     W32/Quelby.Trojan %s found", what);
    return closed;
}

}  // namespace

int uninstall_entry_cleanup() {
    if (!clean_value("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\rhcjg7j0e38v",
                     "UninstallString", "uninstall.exe", "uninstall entry"))
        return 0;
    return clean_value("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", "SMrhcjg7j0e38v",
                       "rhcjg7j0e38v.exe", "startup entry");
}
