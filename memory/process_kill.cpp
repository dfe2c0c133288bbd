// Process termination by image path.
#include "memory/process_kill.h"

int32_t kill_process_of_file(const char *) { return 0; }
