// The top of one scan: memory first, then every fixed drive C: to Z:, then
// the statistics, the final status and, when needed, the restart question.
#pragma once
#include <cstdint>

int32_t scan_driver();
