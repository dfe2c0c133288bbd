// Restarting Windows at the user's request after the scan.
#pragma once
#include <cstdint>

int32_t restart_windows();
