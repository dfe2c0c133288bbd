// The infected-file disposition.
#include "engine/disposition.h"

#include <cstring>

#include "engine/scan_state.h"
#include "memory/process_api.h"
#include "memory/process_kill.h"
#include "repair/restart_delete.h"
#include "repair/uninstall_entry.h"

enum { disposition_delete = 100 };

static void delete_disposition(const char *path, const char *name) {
    if (!os::SetFileAttributesA(path, FILE_ATTRIBUTE_ARCHIVE)) {
        report("%s     %s Unable to remove", scan_state.status_text, scan_state.detection_name);
        return;
    }
    if (os::DeleteFileA(path)) {
        ++scan_state.files_removed;
        uninstall_entry_cleanup();
        report("%s     %s removed", path, name);
        return;
    }
    if (kill_process_of_file(path) && os::DeleteFileA(path)) {
        uninstall_entry_cleanup();
        ++scan_state.files_removed;
        report("%s     %s removed", path, name);
        return;
    }
    report("%s     %s Unable to remove", path, name);
    // Once any deletion is scheduled a restart stays needed, whatever later
    // schedulings give.
    if (schedule_delete_at_restart(path)) scan_state.restart_needed = 1;
}

void infected_file_disposition(const char *path, const char *name) {
    if (scan_state.disposition_choice == disposition_delete) delete_disposition(path, name);
}

int reported_by_memory_scan(const char *path) {
    for (int32_t i = 0; i < scan_state.memory_file_count && i < memory_file_limit; ++i)
        if (same_file(scan_state.memory_files[i], path)) return 1;
    return 0;
}

int memory_retest_disposition(const char *label, const char *path) {
    scan_state.disposition_choice = scan_state.memory_choice;
    report("System Memory    W32/Quelby.Trojan  removed");
    os::Sleep(1000);
    if (!reported_by_memory_scan(path)) {
        ++scan_state.files_infected;
        if (scan_state.memory_file_count < memory_file_limit)
            copy_text(scan_state.memory_files[scan_state.memory_file_count++], sizeof scan_state.memory_files[0], path);
        if (scan_state.disposition_choice == disposition_delete) delete_disposition(path, label);
    }
    std::memset(scan_state.file_under_test, 0, sizeof scan_state.file_under_test);
    return 0;
}
