// The platform tests: which Windows family, and which NT generation. Both
// ask the system at every call. And the 32-bit program's view of the system
// folder on 64-bit Windows.
#pragma once
#include <cstddef>
#include <cstdint>

// 4: the 9x family, 5: the NT family, 1: any other platform, 0: query failed.
int platform_family();

// 5: NT 4.0 and earlier, 6: NT 5.x, 0: otherwise (also NT 6 and later).
int nt_generation();

// Whether the program runs under WOW64, the 32-bit layer of 64-bit Windows
// (IsWow64Process, looked up at run time: a Windows without it has no
// such layer).
bool runs_under_wow64();

// Under WOW64 the program's file calls on the system folder (and on
// regedit.exe and lastgood\system32 of the Windows folder) reach the 32-bit
// system folder instead, while what the boot-time session manager and the
// service control manager are given is taken as it is written. Copies into
// out the path that names, without that redirection, the file the program
// sees at path: the system-folder part replaced by the folder that
// GetSystemWow64DirectoryA gives, except in the subfolders that are not
// redirected (catroot, catroot2, drivers\etc, logfiles, spool, and from
// Windows 7 on driverstore). Any other path, and every path outside WOW64, is copied as it is.
// False when the result does not fit or, under WOW64, a folder cannot be had.
bool unredirected_path(const char *path, char *out, size_t size);

// Whether, under WOW64, the drive walk passes over the entry at path (a
// folder when folder is true) of the Windows folder: the program's calls on
// it reach another place (the 32-bit system folder, which the walk visits
// under its own name), so that one file would be found twice and named where
// it is not. A folder that leads to a folder left alone (drivers, for
// drivers\etc) is walked all the same.
bool redirected_elsewhere(const char *path, bool folder);
