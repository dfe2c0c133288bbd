// The memory scan driver.
#include "memory/memory_scan.h"

#include "engine/scan_state.h"

int32_t memory_scan() {
    scan_state.memory_phase = 1;
    scan_state.memory_phase = 0;
    return 1;
}
