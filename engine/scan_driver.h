// The top of one scan: memory first, then every fixed drive C: to Z:, then
// the statistics, the final status and, when needed, the restart question.
#pragma once
#include <cstdint>

int32_t scan_driver();

// Sets scan_finished and reports the statistics lines of what was scanned so
// far; the driver's own end, and a front end's when the session ends under
// a walk that cannot return in time.
void report_statistics();
