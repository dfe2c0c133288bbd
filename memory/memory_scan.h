// The memory phase of a scan: the running processes' image files tested and
// infected processes ended before the drives are walked.
#pragma once
#include <cstdint>

int32_t memory_scan();
