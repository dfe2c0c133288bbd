// What a scan left, as the exit-code decision of pellscan.exe reads it from
// the scan state (apart from exit_codes.cpp, which has no engine to read).
#include "console/exit_codes.h"
#include "engine/disposition.h"
#include "engine/scan_state.h"

run_outcome scan_outcome(bool detect_only) {
    run_outcome outcome{};
    outcome.stopped = scan_state.scan_terminated != 0;
    outcome.detect_only = detect_only;
    outcome.infected = scan_state.files_infected;
    outcome.left = scan_state.files_left;
    outcome.remove_failed = scan_state.text_file_left[0] != 0;
    // Only a file whose deletion waits for the restart makes it needed: the
    // service keys of an infected process that the memory scan deleted
    // (service_restart_needed) leave nothing for the restart to do once the
    // process has ended; one that runs on is left running, or its file is
    // scheduled or left by the walk.
    outcome.restart_needed = scan_state.restart_needed != 0;
    outcome.left_running = processes_left_running();
    return outcome;
}
