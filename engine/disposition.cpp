// The infected-file disposition.
#include "engine/disposition.h"

#include <cstdio>
#include <cstring>

#include "engine/directory_walker.h"
#include "engine/platform_facts.h"
#include "engine/same_file.h"
#include "engine/scan_state.h"
#include "memory/process_kill.h"
#include "repair/restart_delete.h"
#include "repair/service_removal.h"
#include "repair/uninstall_entry.h"

enum { disposition_delete = 100 };

namespace {

disposition_outcome delete_disposition(const char *path, const char *name) {
    if (!os::SetFileAttributesA(path, FILE_ATTRIBUTE_ARCHIVE)) {
        report("%s     %s Unable to remove", scan_state.status_text, scan_state.detection_name);
        return outcome_left;
    }
    if (os::DeleteFileA(path)) {
        ++scan_state.files_removed;
        uninstall_entry_cleanup();
        report("%s     %s removed", path, name);
        return outcome_removed;
    }
    if (kill_process_of_file(path) && os::DeleteFileA(path)) {
        uninstall_entry_cleanup();
        ++scan_state.files_removed;
        report("%s     %s removed", path, name);
        return outcome_removed;
    }
    report("%s     %s Unable to remove", path, name);
    // Offline nothing is scheduled: the restart's rename files (and the
    // working copies they leave) are not the scan's to touch.
    if (scan_state.offline) return outcome_left;
    return schedule_delete_at_restart(path) ? outcome_scheduled : outcome_left;
}

// Detect-only, on the NT family: the file's volume and index, the same
// whatever path leads to it (a junction, a volume mounted in a folder and
// under a letter, a substituted drive), where a removal would not meet the
// file again once deleted. Unknown (false) when the file cannot be opened,
// the file system gives no index, or the file has more than one name (hard
// links): a removal deletes each name where it meets it, and each is a find.
const char file_identity_place[] = "file identity";

bool file_identity(const char *path, char (&text)[32]) {
    if (platform_family() != 5) return false;
    int fd = os::_open(path, _O_RDONLY | _O_BINARY);
    if (fd == -1) return false;
    intptr_t handle = os::_get_osfhandle(fd);
    BY_HANDLE_FILE_INFORMATION information;
    bool known = handle != -1 && os::GetFileInformationByHandle((HANDLE)handle, &information) &&
                 (information.nFileIndexHigh || information.nFileIndexLow) && information.nNumberOfLinks <= 1;
    os::_close(fd);
    if (known)
        std::snprintf(text, sizeof text, "%08lx:%08lx%08lx", (unsigned long)information.dwVolumeSerialNumber,
                      (unsigned long)information.nFileIndexHigh, (unsigned long)information.nFileIndexLow);
    return known;
}

bool found_under_another_path(const char *path) {
    char identity[32];
    return scan_state.detect_only && file_identity(path, identity) && reported_found(file_identity_place, identity);
}

// Detect-only: the file is named found, and so is what a removal would
// delete with it, the trojan's uninstall entry.
disposition_outcome found_disposition(const char *path, const char *name) {
    char identity[32];
    if (file_identity(path, identity)) first_report_of(file_identity_place, identity);
    report("%s     %s found", path, name);
    uninstall_entry_cleanup();
    return outcome_found;
}

// The file of a process image as the memory scan names, records and
// disposes of it: under WOW64 an image known by its System32 name is the
// file in the 32-bit system folder. Empty when the name does not fit.
void image_file(const char *image_path, char (&path)[MAX_PATH]) {
    if (!unredirected_path(image_path, path, sizeof path) && !copy_text(path, sizeof path, image_path)) path[0] = 0;
}

// The memory scan's entry for the file at path; -1 when it has none.
int memory_entry(const char *path) {
    for (int32_t i = 0; i < scan_state.memory_file_count && i < memory_file_limit; ++i)
        if (same_file_seen(scan_state.memory_files[i], path)) return i;
    return -1;
}

// Detect-only: a file the memory scan reports found once its list of files
// is full is remembered among the found marks, by its short form (or its
// path when it has none), so that neither another process of the image nor
// the drive walk reports and counts it again.
const char memory_file_place[] = "memory file";

bool memory_file_key(const char *path, char (&key)[MAX_PATH]) {
    DWORD n = full_path(path) ? os::GetShortPathNameA(path, key, sizeof key) : 0;
    return (n != 0 && n < sizeof key) || copy_text(key, sizeof key, path);
}

bool found_beyond_memory_list(const char *path) {
    char key[MAX_PATH];
    return scan_state.detect_only && scan_state.memory_file_count >= memory_file_limit && memory_file_key(path, key) &&
           reported_found(memory_file_place, key);
}

void remember_beyond_memory_list(const char *path) {
    char key[MAX_PATH];
    if (memory_file_key(path, key)) first_report_of(memory_file_place, key);
}

// The line of a process ended for being infected; in a detect-only scan,
// of one found running.
const char *memory_line() {
    return scan_state.detect_only ? "System Memory    W32/Quelby.Trojan  found"
                                  : "System Memory    W32/Quelby.Trojan  removed";
}

// Disposes of the file and keeps what it left: in the memory scan's entry
// for it, and in the counts behind the restart question, which says that
// the restart removes the virus completely. It is asked only while every
// infected file left in place has its deletion scheduled.
void dispose(const char *path, const char *name) {
    int entry = memory_entry(path);
    disposition_outcome outcome =
        scan_state.detect_only ? found_disposition(path, name) : delete_disposition(path, name);
    if (outcome == outcome_scheduled) ++scan_state.files_scheduled;
    if (outcome == outcome_left) ++scan_state.files_left;
    if (entry >= 0) scan_state.memory_file_outcomes[entry] = outcome;
    for (int32_t i = 0; i < scan_state.running_file_count; ++i)
        if (scan_state.running_files[i][0] && same_file_seen(scan_state.running_files[i], path))
            scan_state.running_files[i][0] = 0;
    scan_state.restart_needed = scan_state.files_scheduled > 0 && scan_state.files_left == 0;
    if (scan_state.offline) remove_services_of_file(path);
}

}  // namespace

void infected_file_disposition(const char *path, const char *name) {
    if (scan_state.disposition_choice == disposition_delete) dispose(path, name);
}

disposition_outcome memory_scan_outcome(const char *path) {
    int entry = memory_entry(path);
    if (entry >= 0) return (disposition_outcome)scan_state.memory_file_outcomes[entry];
    return found_beyond_memory_list(path) || found_under_another_path(path) ? outcome_found : outcome_none;
}

void memory_left_running(const char *image_path) {
    char path[MAX_PATH];
    image_file(image_path, path);
    // A file already left in place for another process of the image is
    // counted as such.
    disposition_outcome earlier = memory_scan_outcome(path);
    if (earlier == outcome_scheduled || earlier == outcome_left) return;
    if (path[0] && scan_state.running_file_count < memory_file_limit)
        copy_text(scan_state.running_files[scan_state.running_file_count++], sizeof scan_state.running_files[0], path);
    else
        ++scan_state.running_overflow;
}

int32_t processes_left_running() {
    int32_t count = scan_state.running_overflow;
    for (int32_t i = 0; i < scan_state.running_file_count; ++i)
        if (scan_state.running_files[i][0]) ++count;
    return count;
}

int memory_retest_disposition(const char *label, const char *image_path) {
    char path[MAX_PATH];
    image_file(image_path, path);
    scan_state.disposition_choice = scan_state.memory_choice;
    ++scan_state.memory_retests;
    report("%s", memory_line());
    os::Sleep(1000);
    // A file that an earlier process's disposition left in place is the same
    // find, reported once; one it deleted that stands again is a new find.
    disposition_outcome earlier = memory_scan_outcome(path);
    if (earlier == outcome_none || earlier == outcome_removed) {
        ++scan_state.files_infected;
        if (earlier == outcome_none && scan_state.memory_file_count < memory_file_limit) {
            int32_t entry = scan_state.memory_file_count++;
            copy_text(scan_state.memory_files[entry], sizeof scan_state.memory_files[0], path);
            scan_state.memory_file_outcomes[entry] = outcome_none;
        } else if (earlier == outcome_none && scan_state.detect_only) {
            remember_beyond_memory_list(path);
        }
        if (scan_state.disposition_choice == disposition_delete) dispose(path, label);
    }
    std::memset(scan_state.file_under_test, 0, sizeof scan_state.file_under_test);
    return 0;
}

void memory_retest_unlisted(const char *label, const char *image_path) {
    if (!scan_state.report_window) return;
    // A file that could not be listed but stands has the whole re-test.
    if (os::_access(image_path, 0) == 0) {
        // Shown as the walk would have, for the line of a file whose
        // attributes cannot be reset.
        char shortened[512];
        shorten_path(image_path, shortened, 60);
        show_status(shortened);
        memory_retest_disposition(label, image_path);
        return;
    }
    char path[MAX_PATH];
    image_file(image_path, path);
    report("%s", memory_line());
    if (memory_scan_outcome(path) != outcome_none) return;
    ++scan_state.files_infected;
    if (scan_state.memory_file_count < memory_file_limit) {
        int32_t entry = scan_state.memory_file_count++;
        copy_text(scan_state.memory_files[entry], sizeof scan_state.memory_files[0], path);
        scan_state.memory_file_outcomes[entry] = outcome_removed;
    }
}
