// The process list and the process-status enumeration shared by the NT pass
// and the termination methods, and the ending of a process by its id only
// while it runs a given file.
#include "memory/process_api.h"

#include <cstring>
#include <new>

#include "engine/same_file.h"

process_list::~process_list() {
    while (first) {
        process_record *next = first->next;
        delete first;
        first = next;
    }
}

bool process_list::append(DWORD process_id, const char *image_path) {
    // An image without its full path would be looked up in the program's
    // own current folder, where a file of that name need not be the image.
    if (!full_path(image_path)) return true;
    process_record *r = new (std::nothrow) process_record;
    if (!r) return false;
    r->process_id = process_id;
    std::strncpy(r->image_path, image_path, sizeof r->image_path - 1);
    r->image_path[sizeof r->image_path - 1] = 0;
    r->next = nullptr;
    if (last) last->next = r;
    else first = r;
    last = r;
    return true;
}

namespace {

module_file_name_fn module_file_name_function() {
    return find_function<module_file_name_fn>(os::LoadLibraryA("psapi.dll"), "GetModuleFileNameExA");
}

// What the process behind an open handle runs (never gone: the handle holds it).
process_image image_of_handle(module_file_name_fn module_file_name, HANDLE process, const char *path) {
    char image[260], resolved[260];
    std::memset(image, 0, sizeof image);
    DWORD length = module_file_name(process, nullptr, image, sizeof image);
    if (length == 0 || length >= sizeof image || !resolve_nt_path(image, resolved, sizeof resolved))
        return process_image::unknown;
    return same_file(resolved, path) ? process_image::same : process_image::other;
}

// What a fresh snapshot lists under the id: exe_file, another file, nothing
// (the snapshot was read to its end), or unknown (it could not be read).
process_image listed_image(HMODULE kernel, DWORD process_id, const char *exe_file) {
    create_snapshot_fn create_snapshot = find_function<create_snapshot_fn>(kernel, "CreateToolhelp32Snapshot");
    process_walk_fn first = find_function<process_walk_fn>(kernel, "Process32First");
    if (!create_snapshot || !first) return process_image::unknown;
    HANDLE snapshot = create_snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return process_image::unknown;
    PROCESSENTRY32 entry;
    std::memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    process_image found = process_image::unknown;
    if (first(snapshot, &entry)) {
        for (;;) {
            if (entry.th32ProcessID == process_id) {
                entry.szExeFile[sizeof entry.szExeFile - 1] = 0;
                found = same_file(entry.szExeFile, exe_file) ? process_image::same : process_image::other;
                break;
            }
            process_walk_fn next = find_function<process_walk_fn>(kernel, "Process32Next");
            if (!next) break;
            // Only the snapshot's end says the id is gone; a walk that
            // failed before it says nothing.
            if (!next(snapshot, &entry)) {
                found = os::GetLastError() == ERROR_NO_MORE_FILES ? process_image::gone : process_image::unknown;
                break;
            }
        }
    }
    os::CloseHandle(snapshot);
    return found;
}

// Ends the process behind an open handle when what it runs is the image;
// closes the handle.
end_outcome end_when(HANDLE process, process_image image) {
    end_outcome outcome = end_outcome::refused;
    if (image == process_image::same)
        outcome = os::TerminateProcess(process, 0) ? end_outcome::ended : end_outcome::refused;
    else if (image == process_image::other || image == process_image::gone)
        outcome = end_outcome::gone;
    os::CloseHandle(process);
    return outcome;
}

// Opens a process to end it; null with outcome set when it cannot be opened.
HANDLE open_to_end(DWORD process_id, DWORD access, end_outcome &outcome) {
    HANDLE process = os::OpenProcess(access, FALSE, process_id);
    if (!process)
        outcome = os::GetLastError() == ERROR_INVALID_PARAMETER ? end_outcome::gone : end_outcome::refused;
    return process;
}

}  // namespace

end_outcome end_if_image(DWORD process_id, const char *path) {
    module_file_name_fn module_file_name = module_file_name_function();
    if (!module_file_name) return end_outcome::refused;
    end_outcome outcome;
    HANDLE process =
        open_to_end(process_id, PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, outcome);
    if (!process) return outcome;
    return end_when(process, image_of_handle(module_file_name, process, path));
}

end_outcome end_if_listed(HMODULE kernel, DWORD process_id, const char *exe_file) {
    end_outcome outcome;
    HANDLE process = open_to_end(process_id, PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, outcome);
    if (!process) return outcome;
    return end_when(process, listed_image(kernel, process_id, exe_file));
}

int list_processes_psapi(process_list &list, void (*on_access_denied)()) {
    HMODULE psapi = os::LoadLibraryA("psapi.dll");
    enum_processes_fn enum_processes = find_function<enum_processes_fn>(psapi, "EnumProcesses");
    if (!enum_processes) return 0;
    static DWORD ids[max_process_ids];
    std::memset(ids, 0, sizeof ids);
    DWORD bytes = 0;
    enum_processes(ids, sizeof ids, &bytes);
    DWORD count = bytes / 4;
    if (count > max_process_ids) count = max_process_ids;
    if (count == 0) return 0;
    module_file_name_fn module_file_name =
        find_function<module_file_name_fn>(psapi, "GetModuleFileNameExA");
    if (!module_file_name) return 0;
    for (DWORD i = 0; i < count; ++i) {
        const DWORD access = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
        HANDLE process = os::OpenProcess(access, FALSE, ids[i]);
        if (!process && on_access_denied && os::GetLastError() == ERROR_ACCESS_DENIED) {
            on_access_denied();
            process = os::OpenProcess(access, FALSE, ids[i]);
        }
        char path[260];
        std::memset(path, 0, sizeof path);
        DWORD length = process ? module_file_name(process, nullptr, path, sizeof path) : 0;
        if (process) os::CloseHandle(process);
        path[sizeof path - 1] = 0;
        char resolved[260];
        if (length && !resolve_nt_path(path, resolved, sizeof resolved)) length = 0;
        if (length && !list.append(ids[i], resolved)) return 0;
    }
    return 1;
}
