// The memory phase of a scan: the running processes' image files tested and
// infected processes ended before the drives are walked.
#pragma once
#include <cstdint>

// Set when an infected process survived both terminations and its service
// did not stop; only a restart removes it. Never cleared.
extern int32_t service_restart_needed;

// Runs the process pass of the platform's family with memory_phase set. Ends
// the program (exit status 0), after offering a restart, when the NT pass
// reports an infected process that only a restart removes; an unattended
// scan reports that in one line instead and goes on.
void memory_scan();
