// The exit codes of pellscan.exe, an interface that scripts test: exactly
// these values, and the decision that picks one from what a run did.
#pragma once

enum pellscan_exit_code {
    exit_clean = 0,          // nothing found
    exit_removed = 1,        // found, and everything removed
    exit_at_restart = 2,     // found, and the removal completes at the next restart
    exit_left = 3,           // found, and something could not be removed
    exit_detected = 4,       // found in detect-only mode (nothing changed)
    exit_stopped = 5,        // stopped before the end (wins over 1 to 4)
    exit_cannot_run = 6,     // bad arguments, log not writable, another copy running
};

// What a finished (or stopped) scan leaves for the decision.
struct run_outcome {
    bool stopped;          // the walk was ended before its end
    bool detect_only;      // /report: nothing was changed
    int infected;          // scan_state.files_infected
    int left;              // scan_state.files_left: infected files left without a scheduled deletion
    bool remove_failed;    // scan_state.text_file_left: the hosts file stayed ("Remove failed")
    bool restart_needed;   // scan_state.restart_needed: a deletion waits for the restart
    int left_running;      // processes_left_running(): infected processes whose file no disposition met
};

// The exit code of a run: 5 when stopped, else 0 when nothing was found
// (no infected file, no infected process left running), else 4 in
// detect-only mode, else 3 when something stayed, else 2 when a restart
// finishes the removal, else 1.
int exit_code_for(const run_outcome &outcome);

// The outcome of the scan that has run, from the scan state (console/scan_outcome.cpp).
run_outcome scan_outcome(bool detect_only);
