// The two process passes of the memory scan: list the running processes,
// test each image file, end infected processes and dispose of their files.
#pragma once

// The 9x family, through the tool-help snapshot. The result is not used.
int scan_processes_toolhelp();

// The NT family, through the process-status library. Nonzero exactly when an
// infected process survived both terminations and, on NT 4 and NT 5.x, its
// service could not be stopped: only a restart removes it.
int scan_processes_psapi();
