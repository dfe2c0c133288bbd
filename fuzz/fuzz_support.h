// Shared set-up of the fuzz targets: a fresh simulated machine and scan
// state with a report window that swallows the lines.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/scan_state.h"
#include "platform/sim/machine.h"

inline void fresh_machine() {
    sim::reset();
    std::memset(&scan_state, 0, sizeof scan_state);
    scan_state.disposition_choice = 100;
    scan_state.report_window = sim::machine().create_window([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
    sim::machine().add_drive('C', DRIVE_FIXED);
}

// Stops the run when an invariant does not hold.
inline void require(bool ok) {
    if (!ok) __builtin_trap();
}

// Everything opened was closed.
inline void require_all_closed() {
    sim::Machine &m = sim::machine();
    require(m.open_fds_count == 0 && m.open_find_handles == 0 && m.open_keys == 0 && m.open_handles == 0 &&
            m.open_service_handles == 0);
}
