// Service removal: which service runs a file (by its configured image), the
// stop request with a bounded wait, and the service's keys in both numbered
// control sets.
//
// A service is named after the image it runs, so a trojan's image may bear
// the name of a genuine service (msdtc.exe, rpcss.exe, winmgmt.exe): the
// name alone never makes a service the trojan's; its ImagePath must name the
// infected file.
#include "repair/service_removal.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "engine/path_text.h"
#include "engine/platform_facts.h"
#include "engine/same_file.h"
#include "engine/scan_state.h"
#include "platform/os.h"
#include "repair/registry_helpers.h"

namespace {

bool service_key(const char *control_set, const char *service_name, char (&key)[512]) {
    int n = std::snprintf(key, sizeof key, "SYSTEM\\%s\\Services\\%s", control_set, service_name);
    return n > 0 && n < (int)sizeof key;
}

bool blank(char c) { return c == ' ' || c == '\t'; }

// The image path of a command line in its ordinary form, as the service
// control manager finds it: NT forms resolved, a folder path without a drive
// or leading backslash taken from the Windows folder (System32\drivers\x.sys),
// and a bare program name (no backslash in its first word) from the system
// folder. A relative name is never looked up in the program's own current
// folder.
bool ordinary_path(const char *path, char (&out)[MAX_PATH]) {
    if (path[0] && path[1] != ':' && path[0] != '\\') {
        size_t word = 0;
        while (path[word] && !blank(path[word]) && path[word] != '\\') ++word;
        bool bare = path[word] != '\\';
        char folder[MAX_PATH];
        UINT length = bare ? os::GetSystemDirectoryA(folder, sizeof folder)
                           : os::GetWindowsDirectoryA(folder, sizeof folder);
        if (length == 0 || length >= sizeof folder) return false;
        int n = std::snprintf(out, sizeof out, "%s\\%s", folder, path);
        return n > 0 && n < (int)sizeof out;
    }
    return resolve_nt_path(path, out, sizeof out);
}

// Whether the command line starts the file: a quoted program is compared
// whole; an unquoted one is the file's path followed by the end or a blank
// (a path may hold blanks), or its first word names the file.
bool command_runs_file(const char *command, const char *file) {
    char program[MAX_PATH], path[MAX_PATH];
    if (command[0] == '"') {
        const char *end = std::strchr(command + 1, '"');
        size_t n = end ? (size_t)(end - command - 1) : std::strlen(command + 1);
        if (n == 0 || n >= sizeof program) return false;
        std::memcpy(program, command + 1, n);
        program[n] = 0;
        return ordinary_path(program, path) && same_file(path, file);
    }
    if (!ordinary_path(command, path)) return false;
    size_t n = std::strlen(file);
    if (begins_with_nocase(path, file) && (path[n] == 0 || blank(path[n]))) return true;
    size_t word = 0;
    while (path[word] && !blank(path[word])) ++word;
    path[word] = 0;
    return same_file(path, file);
}

}  // namespace

int service_runs_file(const char *control_set, const char *service_name, const char *seen_file) {
    // The service control manager reads the image path without the
    // redirection that the program's own file calls have under WOW64.
    char key[512], image[MAX_PATH + 4], expanded[MAX_PATH], file[MAX_PATH];
    if (!service_name[0] || !service_key(control_set, service_name, key) ||
        !unredirected_path(seen_file, file, sizeof file))
        return 0;
    if (!read_registry_value(HKEY_LOCAL_MACHINE, key, "ImagePath", image, sizeof image) || !image[0]) return 0;
    DWORD needed = os::ExpandEnvironmentStringsA(image, expanded, sizeof expanded);
    if (needed == 0 || needed > sizeof expanded) return 0;
    const char *command = expanded;
    while (blank(*command)) ++command;
    return command_runs_file(command, file) ? 1 : 0;
}

// The window is not pumped while a service stops: wait at most this many
// one-second polls.
enum { stop_pending_polls = 20 };

int stop_service(const char *service_name) {
    SC_HANDLE manager = os::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return 0;
    SC_HANDLE service = os::OpenServiceA(manager, service_name, 0xF003F);
    if (!service) {
        os::CloseServiceHandle(manager);
        return 0;
    }
    SERVICE_STATUS status;
    std::memset(&status, 0, sizeof status);
    int result = 0;
    if (os::ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        int polls = 0;
        while (os::QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOP_PENDING &&
               polls++ < stop_pending_polls)
            os::Sleep(1000);
        result = status.dwCurrentState == SERVICE_STOPPED;
    }
    os::CloseServiceHandle(service);
    os::CloseServiceHandle(manager);
    return result;
}

int delete_service_keys(const char *service_name, const char *file) {
    int confirmed = 0, all_gone = 1;
    for (const char *set : {"ControlSet001", "ControlSet002"}) {
        if (!service_runs_file(set, service_name, file)) continue;
        confirmed = 1;
        char key[512];
        if (!service_key(set, service_name, key) || !delete_machine_key_tree(key)) all_gone = 0;
    }
    return confirmed && all_gone;
}

int service_keys_name_file(const char *service_name, const char *file) {
    for (const char *set : {"ControlSet001", "ControlSet002"})
        if (service_runs_file(set, service_name, file)) return 1;
    return 0;
}

namespace {

// The names of the subkeys of a key under HKEY_LOCAL_MACHINE, collected
// before anything below it is deleted; false when the key cannot be read.
bool subkey_names(const char *path, std::vector<std::string> &names) {
    HKEY key;
    if (os::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD size = sizeof name;
        if (os::RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.push_back(std::string(name, size < sizeof name ? size : sizeof name - 1));
    }
    os::RegCloseKey(key);
    return true;
}

// ControlSet followed by three digits.
bool numbered_control_set(const std::string &name) {
    if (name.size() != 13 || os::_strnicmp(name.c_str(), "ControlSet", 10) != 0) return false;
    for (size_t i = 10; i < 13; ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    return true;
}

}  // namespace

void remove_services_of_file(const char *file) {
    // The trojan's service bears its image's name, as the memory scan
    // assumes: a service of another name that runs the same path is a
    // genuine one whose file the trojan took.
    std::string own_name = file_name_part(file);
    size_t dot = own_name.rfind('.');
    if (dot != std::string::npos) own_name.erase(dot);
    std::vector<std::string> sets;
    if (!subkey_names("SYSTEM", sets)) return;
    for (const std::string &set : sets) {
        if (!numbered_control_set(set)) continue;
        std::string services = "SYSTEM\\" + set + "\\Services";
        std::vector<std::string> names;
        if (!subkey_names(services.c_str(), names)) continue;
        for (const std::string &name : names) {
            if (!same_text_nocase(name.c_str(), own_name.c_str()) || !service_runs_file(set.c_str(), name.c_str(), file))
                continue;
            if (scan_state.detect_only) {
                if (first_report_of(services.c_str(), name.c_str()))
                    report("System Registry     W32/Quelby.Trojan service %s in %s found", name.c_str(), set.c_str());
                continue;
            }
            std::string key = services + "\\" + name;
            bool removed = delete_machine_key_tree(key.c_str()) != 0;
            report("System Registry     W32/Quelby.Trojan service %s in %s %s", name.c_str(), set.c_str(),
                   removed ? "removed" : "Remove failed");
        }
    }
}
