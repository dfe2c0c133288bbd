// The exit-code decision of pellscan.exe (free of Windows calls, so that the
// host tests cover it).
#include "console/exit_codes.h"

int exit_code_for(const run_outcome &outcome) {
    if (outcome.stopped) return exit_stopped;
    if (outcome.infected <= 0 && outcome.left_running <= 0) return exit_clean;
    if (outcome.detect_only) return exit_detected;
    if (outcome.left > 0 || outcome.remove_failed || outcome.left_running > 0) return exit_left;
    if (outcome.restart_needed) return exit_at_restart;
    return exit_removed;
}
