// The memory scan driver.
#include "memory/memory_scan.h"

#include "engine/platform_facts.h"
#include "engine/scan_state.h"
#include "memory/process_passes.h"
#include "memory/restart.h"

int32_t service_restart_needed;

void memory_scan() {
    int family = platform_family();
    scan_state.memory_phase = 1;
    if (family == 4) scan_processes_toolhelp();
    if (family == 5 && scan_processes_psapi()) {
        // With no one there to answer, the scan goes on to the drives; the
        // front end reads service_restart_needed.
        if (scan_state.unattended) {
            report("System Memory    W32/Quelby.Trojan  still running, its service removed: it ends at the "
                   "next restart");
            scan_state.memory_phase = 0;
            return;
        }
        if (service_restart_needed == 1 &&
            ConfirmBox("W32/Quelby.Trojan  found in memory! registry entries created by the worm are "
                       "removed. You must restart the computer and run this program to continue "
                       "scanning.\n\nRestart the computer now?",
                       app_title, MB_OKCANCEL | MB_ICONINFORMATION) == IDOK)
            restart_windows();
        os::exit(0);
    }
    scan_state.memory_phase = 0;
}
