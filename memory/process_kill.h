// Ending the process that holds an infected file, by the method that suits
// the platform, and the debug privilege that opens other users' processes.
#pragma once
#include <cstdint>

// 1 when the platform's method ran and did not report failure, or when the
// platform has no method; 0 after telling the user "Could not kill process"
// (in a box, or an unattended scan's report line "<path>     Could not kill
// process").
int32_t kill_process_of_file(const char *path);

// 9x family: the first snapshot entry whose image is the file.
int kill_by_name_toolhelp(const char *path);
// NT 5.x: every process whose main module has exactly this path.
int kill_by_path_psapi(const char *path);
// NT 4 and NT 6 and later: every performance-data "Process" instance whose
// name is the file's base name and whose main module is confirmed to be the
// file; none whose module path cannot be read.
int kill_by_name_perfdata(const char *path);

// Enables SeDebugPrivilege in the program's own token.
void enable_debug_privilege();

// The largest performance-data block the perfdata method will read.
enum : unsigned { perf_data_limit = 4u * 1024 * 1024 };
