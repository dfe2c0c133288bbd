// The scan driver.
#include "engine/scan_driver.h"

#include <cstring>

#include "engine/directory_walker.h"
#include "engine/scan_state.h"
#include "memory/memory_scan.h"
#include "memory/restart.h"

void report_statistics() {
    scan_state.scan_finished = 1;
    if (scan_state.files_infected > 0) report(" ");
    report("Scanning statistics");
    report("------------------------------");
    report("Total files scanned\t\t:  %d", (int)scan_state.files_scanned);
    report("Total files infected\t\t:  %d", (int)scan_state.files_infected);
    report("Total files removed\t\t:  %d", (int)scan_state.files_removed);
}

int32_t scan_driver() {
    memory_scan();

    char drive_root[4] = {'C', ':', '\\', 0};
    char drive_pattern[260];
    for (int drive = 2; drive <= 25; ++drive) {
        drive_root[0] = (char)('A' + drive);
        if (os::GetDriveTypeA(drive_root) != DRIVE_FIXED) continue;
        std::strcpy(drive_pattern, drive_root);
        std::strcat(drive_pattern, "*.*");
        directory_walker(drive_pattern);
        if (scan_state.program_files_found == 1 && scan_state.program_files_entered == 0) {
            directory_walker(scan_state.program_files_pattern);
            scan_state.program_files_found = 0;
        }
    }

    report_statistics();
    show_status(scan_state.scan_terminated ? "Scanning terminated" : "Scanning completed");

    if (scan_state.restart_needed &&
        ConfirmBox("The system has to be restarted to remove the virus completely from your "
                   "system. \n\n Restart now?",
                   app_title, MB_YESNO | MB_ICONQUESTION) == IDYES)
        restart_windows();
    return 1;
}
