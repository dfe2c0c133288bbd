// The autorun sweep.
//
// A value starts the infected file when its command begins with the file's
// full path (after an opening quote, directly or once environment variables
// are expanded), when it begins with the file's path from the root of the
// Windows drive ("\dir\file.exe" for c:\dir\file.exe, the file being on
// that drive), when its program is the file in another form (the short 8.3
// form of a long path, or the long form of a short one), or, for a file in a
// system folder, when the command is a bare reference (no folder) that names
// the file. In all cases the name must stand as a whole word:
// "c:\x\evil.exe" is not started by "c:\x\evil.exe2.exe", nor is "evil.exe"
// by "notevil.exe".
//
// Paths are searched and lower-cased character by character, so that a
// double-byte character whose second byte is "\" or a capital letter stays
// whole. The values that start the file are deleted after the key has been
// enumerated, in the order they were found; a detect-only scan reports each
// found instead, the first time only (the sweep runs on HKEY_LOCAL_MACHINE,
// and a value is known by its key and name).
#include "repair/autorun_sweep.h"

#include <cstring>
#include <string>
#include <vector>

#include "engine/path_text.h"
#include "engine/same_file.h"
#include "engine/scan_state.h"
#include "repair/registry_helpers.h"

namespace {

// How many blank-ended beginnings of a command are tried as its program.
enum { max_program_candidates = 8 };

bool ends_word(char c) {
    return c == 0 || c == ' ' || c == '\t' || c == '"' || c == ',' || c == ';' || c == '/';
}

bool starts_word(const char *text, const char *at) {
    if (at == text) return true;
    char c = at[-1];
    return c == ' ' || c == '\t' || c == '"' || c == ',' || c == ';' || c == '=' || c == '/';
}

// Whether command names the file name as a whole word anywhere.
bool names_file(const char *command, const char *file_name) {
    size_t n = std::strlen(file_name);
    if (n == 0) return false;  // a path ending in "\" names no file
    for (const char *at = find_text(command, file_name); at; at = find_text(at + 1, file_name))
        if (starts_word(command, at) && ends_word(at[n])) return true;
    return false;
}

// Whether the program of a command that begins with a full path is the file
// in another form (short or long). The program is the text up to a closing
// quote, or up to a blank: a long path may hold blanks, so each blank ends
// one candidate.
bool program_is_file(const char *command, const char *path) {
    if (!command[0] || command[1] != ':' || command[2] != '\\') return false;
    char program[MAX_PATH];
    int tried = 0;
    for (size_t at = 0; tried < max_program_candidates && at < sizeof program; ++at) {
        char c = command[at];
        if (c != 0 && c != '"' && c != ' ' && c != '\t') continue;
        std::memcpy(program, command, at);
        program[at] = 0;
        ++tried;
        if (same_file(program, path)) return true;
        if (c == 0 || c == '"') break;
    }
    return false;
}

// Whether command begins with path as a whole word.
bool begins_with_path(const char *command, const char *path, size_t n) {
    return std::strncmp(command, path, n) == 0 && ends_word(command[n]);
}

// Whether a command that begins with "\" starts the file: it is a path from
// the root of the drive Windows is on, so it must be the file's path without
// its drive ("c:"), on that drive.
bool rooted_path_starts(const char *command, const char *path, size_t n) {
    if (command[0] != '\\' || n < 3 || path[1] != ':') return false;
    char windows[MAX_PATH];
    UINT length = os::GetWindowsDirectoryA(windows, sizeof windows);
    if (length == 0 || length >= sizeof windows || windows[1] != ':') return false;
    lower_text(windows);
    return windows[0] == path[0] && begins_with_path(command, path + 2, n - 2);
}

// Remembers the value's name and command for the cleanup of the next hit.
void remember(const char *value_name, const char *command) {
    // A name that does not fit is not remembered: a shortened one would
    // later delete a different value.
    if (std::strlen(value_name) >= sizeof scan_state.removed_value_name) return;
    std::strcpy(scan_state.removed_value_name, value_name);
    copy_text(scan_state.removed_value_data, sizeof scan_state.removed_value_data, command);
}

void report_removed() {
    if (scan_state.report_window) report("System Registry     %s removed", "W32/Quelby.Trojan");
}

// A value found to start the file.
struct found_value {
    std::string name;
    std::string data;
    bool remember_first;  // remembered before the deletion is tried, not only once it succeeded
};

}  // namespace

void autorun_sweep(HKEY root, const char *sub_key) {
    HKEY key;
    if (os::RegOpenKeyExA(root, sub_key, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    DWORD count = 0;
    if (os::RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr,
                             nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        count = 0;
    std::vector<found_value> found;
    static char name[16384];
    char data[264];
    char expanded[261];
    for (DWORD i = 0; i < count; ++i) {
        DWORD name_size = sizeof name - 1;
        if (os::RegEnumValueA(key, i, name, &name_size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            continue;
        const char *slash = last_backslash(scan_state.file_under_test);
        if (!slash) break;
        if (!read_registry_value(root, sub_key, name, data, sizeof data)) continue;
        lower_text(data);
        lower_text(scan_state.file_under_test);
        DWORD needed = os::ExpandEnvironmentStringsA(data, expanded, sizeof expanded);
        if (needed == 0 || needed > sizeof expanded) continue;  // an expansion that does not fit is skipped
        lower_text(expanded);
        bool bare = !has_character(data, '\\');
        const char *file = scan_state.file_under_test;
        size_t n = std::strlen(file);
        if (n == 0) break;
        const char *d = data[0] == '"' ? data + 1 : data;
        const char *e = expanded[0] == '"' ? expanded + 1 : expanded;
        const char *file_name = slash + 1;
        if (data[0] == '\\') {
            if (rooted_path_starts(data, file, n)) found.push_back({name, data, true});
            continue;
        }
        if (bare && names_file(data, file_name)) {
            if (find_text(file, "\\system\\") || find_text(file, "\\system32\\")) found.push_back({name, data, false});
            continue;
        }
        if (begins_with_path(d, file, n) || begins_with_path(e, file, n) || program_is_file(d, file) ||
            program_is_file(e, file))
            found.push_back({name, data, true});
    }
    os::RegCloseKey(key);

    for (const found_value &v : found) {
        if (scan_state.detect_only) {
            // A value reported found stands for one a removal has deleted:
            // it is neither found nor remembered again.
            if (!first_report_of(sub_key, v.name.c_str())) continue;
            remember(v.name.c_str(), v.data.c_str());
            if (scan_state.report_window) report("System Registry     %s found", "W32/Quelby.Trojan");
            continue;
        }
        if (v.remember_first) remember(v.name.c_str(), v.data.c_str());
        if (!delete_registry_value(root, sub_key, v.name.c_str())) continue;
        if (!v.remember_first) remember(v.name.c_str(), v.data.c_str());
        report_removed();
    }
}
