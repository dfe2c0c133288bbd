// Ending the process that holds a file, so that the file can be deleted.
#pragma once
#include <cstdint>

// Nonzero when the process holding the file was dealt with.
int32_t kill_process_of_file(const char *path);
