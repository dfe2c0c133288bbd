// The 9x and NT process passes. A detect-only scan ends nothing: each
// infected process is reported found from memory, its file once.
#include "memory/process_passes.h"

#include <cstring>
#include <new>

#include "engine/directory_walker.h"
#include "engine/disposition.h"
#include "engine/platform_facts.h"
#include "engine/scan_state.h"
#include "memory/memory_scan.h"
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
    int32_t retests = scan_state.memory_retests;
    int32_t result = directory_walker(r.image_path);
    // The process has ended all the same when its file could not be listed.
    if (scan_state.memory_retests == retests) memory_retest_unlisted("W32/Quelby.Trojan ", r.image_path);
    scan_state.memory_choice = 0;
    return result;
}

// The service named after an image: its file name without the last ".".
void service_name_of(const char *image_path, char (&name)[260]) {
    std::strncpy(name, file_name_part(image_path), sizeof name - 1);
    name[sizeof name - 1] = 0;
    char *dot = std::strrchr(name, '.');
    if (dot) *dot = 0;
}

// Detect-only, the NT pass: the process is reported found as the re-test of
// an ended one reports it, and on NT 4 and NT 5.x so is the service named
// after its image whose keys a removal deletes for a process that survives
// both terminations (whether this one would cannot be known without trying):
// one configured to run this very file.
void report_found(const process_record &r) {
    rescan(r);
    int generation = nt_generation();
    if (generation != 5 && generation != 6) return;
    char service[260];
    service_name_of(r.image_path, service);
    if (service_keys_name_file(service, r.image_path) && first_report_of("service", service))
        report("System Registry     W32/Quelby.Trojan service %s found", service);
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
            // file of one that lives on is left to the drive walk. The
            // listing may be old by now: a process that has given its id to
            // another program has ended, and that program is not touched. A
            // detect-only scan reports every one found, as if it had ended.
            if (scan_state.detect_only ||
                end_if_listed(kernel, r->process_id, r->image_path) != end_outcome::refused)
                rescan(*r);
            else
                memory_left_running(r->image_path);
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
        if (scan_state.detect_only) {
            report_found(*r);
            continue;
        }
        // Every attempt ends the process only while it runs the image: the
        // list is old by now, and an id freed meanwhile may belong to any
        // other program.
        end_outcome first = end_if_image(r->process_id, r->image_path);
        end_outcome second = end_if_image(r->process_id, r->image_path);
        if (second == end_outcome::ended) {
            rescan(*r);
            continue;
        }
        // A process that either attempt found gone has ended, on its own or
        // by the first attempt.
        bool ended = first != end_outcome::refused || second == end_outcome::gone;
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
                if (ended || end_if_image(r->process_id, r->image_path) != end_outcome::refused) rescan(*r);
                else memory_left_running(r->image_path);
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
        else memory_left_running(r->image_path);
    }
    return survivor;
}
