// What the rescue backend's parts share: the drive map, the disk, the last
// error, and the resolution of Windows paths below a drive's folder.
#pragma once
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "platform/rescue/rescue.h"

namespace rescue {

struct DriveRoot {
    std::string folder;  // on the rescue system
    int fd = -1;         // the folder, opened
    dev_t device = 0;    // its file system: nothing on another one is reached
    uint64_t mount = 0;  // its mount (when mount_known): nothing on another mount is reached
    bool mount_known = false;
    bool fat = false;    // attributes through the FAT ioctl, else the NTFS attribute
};

struct State {
    DriveRoot drives[26];
    Disk disk;
    std::map<std::string, std::string> environment;  // upper-case name -> value
    LRESULT (*report)(UINT, WPARAM, LPARAM) = nullptr;
    DWORD last_error = 0;
    uintptr_t next_handle = 0x1000;
};

State &state();
void set_error(DWORD error);
// A Windows error for an errno of a file call.
DWORD error_of_errno(int e);

// Upper case of a Windows-1252 byte, as Windows compares file names.
unsigned char upper_ansi(unsigned char c);
bool same_name(const std::string &a, const std::string &b);

// A Windows path resolved below its drive's folder.
struct Resolved {
    int drive = -1;
    int parent_fd = -1;       // the folder holding the last component (owned); -1 for a drive root
    std::string leaf;         // the last component's name on disk (UTF-8)
    std::string windows;      // the path with every component named as on disk (ANSI)
    struct stat st {};        // the last component's own status
    bool exists = false;      // false: the last component is missing (its folder exists)
};

// Resolves "X:\a\b": true when everything up to the last component's folder
// exists (out.exists says whether the last one does), false with the
// Windows error (ERROR_PATH_NOT_FOUND) when a folder on the way is missing.
// Symbolic links and other file systems count as missing.
bool resolve(const std::string &path, Resolved &out, DWORD &error);
void release(Resolved &r);

// The mount id of an entry of a folder ("" for the folder itself); false
// when the kernel does not tell.
bool mount_id(int dir_fd, const char *name, uint64_t &out);

// FILE_ATTRIBUTE_* of an entry, as its file system keeps them (directory and
// normal added as Windows reports them).
DWORD entry_attributes(const DriveRoot &drive, int dir_fd, const std::string &name, const struct stat &st);

}  // namespace rescue
