// The 9x and NT process passes.
#include "memory/process_passes.h"

#include <cstring>
#include <new>

#include "engine/directory_walker.h"
#include "engine/scan_state.h"
#include "memory/memory_scan.h"
#include "memory/platform.h"
#include "memory/process_api.h"
#include "memory/process_kill.h"
#include "repair/service_removal.h"

namespace {

// Tests the image with the matcher (through the walker's memory-phase form)
// when the file can be read; 0 and no test otherwise. An image that cannot be
// read is not infected, whatever an earlier record left in match_pending.
int32_t check(const process_record &r) {
    if (os::_access(r.image_path, 4) != 0) {
        scan_state.match_pending = 0;
        return 0;
    }
    return directory_walker(r.image_path);
}

// Walks the image again with the disposition armed: the removal from memory
// is reported and the file deleted.
int32_t rescan(const process_record &r) {
    scan_state.memory_choice = scan_state.disposition_choice;
    int32_t result = directory_walker(r.image_path);
    scan_state.memory_choice = 0;
    return result;
}

enum class attempt { ended, gone, refused };

// One attempt to end a process. An open that fails because no process has
// the id (ERROR_INVALID_PARAMETER) means the process has ended already.
attempt terminate(DWORD process_id) {
    HANDLE process = os::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, process_id);
    if (!process) return os::GetLastError() == ERROR_INVALID_PARAMETER ? attempt::gone : attempt::refused;
    bool ended = os::TerminateProcess(process, 0) != 0;
    os::CloseHandle(process);
    return ended ? attempt::ended : attempt::refused;
}

// One more attempt at a process after a service stop, which may have ended
// it and freed its id for a new process meanwhile: the process with that id
// is ended only while it runs the image. Another program under the id means
// the image's process is gone.
attempt terminate_if_image(const process_record &r) {
    switch (image_of_process(r.process_id, r.image_path)) {
    case process_image::same: return terminate(r.process_id);
    case process_image::other:
    case process_image::gone: return attempt::gone;
    default: return attempt::refused;
    }
}

// The service named after an image: its file name without the last ".".
void service_name_of(const char *image_path, char (&name)[260]) {
    std::strncpy(name, file_name_part(image_path), sizeof name - 1);
    name[sizeof name - 1] = 0;
    char *dot = std::strrchr(name, '.');
    if (dot) *dot = 0;
}

}  // namespace

int scan_processes_toolhelp() {
    HMODULE kernel = os::LoadLibraryA("Kernel32.dll");
    if (!kernel) return 0;
    PROCESSENTRY32 *entry = new (std::nothrow) PROCESSENTRY32;
    if (!entry) return 0;
    std::memset(entry, 0, sizeof *entry);
    create_snapshot_fn create_snapshot = find_function<create_snapshot_fn>(kernel, "CreateToolhelp32Snapshot");
    HANDLE snapshot = create_snapshot ? create_snapshot(TH32CS_SNAPPROCESS, 0) : INVALID_HANDLE_VALUE;
    process_walk_fn first = find_function<process_walk_fn>(kernel, "Process32First");
    process_list list;
    bool complete = false;
    if (snapshot != INVALID_HANDLE_VALUE && first) {
        entry->dwSize = sizeof *entry;
        if (first(snapshot, entry) && list.append(entry->th32ProcessID, entry->szExeFile)) {
            for (;;) {
                process_walk_fn next = find_function<process_walk_fn>(kernel, "Process32Next");
                if (!next) break;
                if (!next(snapshot, entry)) {
                    complete = true;
                    break;
                }
                if (!list.append(entry->th32ProcessID, entry->szExeFile)) break;
            }
        }
    }
    if (complete)
        for (process_record *r = list.first; r; r = r->next) {
            check(*r);
            if (!scan_state.match_pending) continue;
            // Only a process that is gone is reported removed from memory; the
            // file of one that lives on is left to the drive walk.
            if (terminate(r->process_id) != attempt::refused) rescan(*r);
        }
    delete entry;
    if (snapshot != INVALID_HANDLE_VALUE) os::CloseHandle(snapshot);
    return 0;
}

int scan_processes_psapi() {
    process_list list;
    if (!list_processes_psapi(list, enable_debug_privilege)) return 0;
    int survivor = 0;
    for (process_record *r = list.first; r; r = r->next) {
        check(*r);
        if (!scan_state.match_pending) continue;
        attempt first = terminate(r->process_id);
        attempt second = terminate(r->process_id);
        if (second == attempt::ended) {
            rescan(*r);
            continue;
        }
        // A process that either attempt found gone has ended, on its own or
        // by the first attempt.
        bool ended = first != attempt::refused || second == attempt::gone;
        int generation = nt_generation();
        if (generation == 5 || generation == 6) {
            // The service named after the image is touched only when it is
            // configured to run this very file: a genuine service of the
            // same name is left alone.
            char service[260];
            service_name_of(r->image_path, service);
            if (service_runs_file("CurrentControlSet", service, r->image_path) && stop_service(service)) {
                delete_service_keys(service, r->image_path);
                // The stopped service need not have been this process.
                if (ended || terminate_if_image(*r) != attempt::refused) rescan(*r);
                continue;
            }
            // The restart question says the trojan's registry entries are
            // removed: it is asked only when they are.
            if (delete_service_keys(service, r->image_path)) {
                service_restart_needed = 1;
                if (!ended) survivor = 1;
            }
        }
        // The file of a process that lives on is left to the drive walk.
        if (ended) rescan(*r);
    }
    return survivor;
}
