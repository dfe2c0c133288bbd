// System restart.
#include "memory/restart.h"

int32_t restart_windows() { return 0; }
