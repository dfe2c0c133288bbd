// The rescue backend of the seam (os.h): the engine's calls answered from a
// Windows disk mounted on Linux, while none of its programs runs.
//
// Drives are letters mapped to folders (C: the mounted Windows volume); every
// path is resolved below its drive's folder one component at a time, letter
// case aside, and never through a symbolic link or into another mounted file
// system. Files are only read, listed, have their attributes reset and are
// deleted: nothing is created or written, so nothing can be scheduled for a
// restart. The registry is HKEY_LOCAL_MACHINE over the disk's offline hives
// (hive_store.h), changed in memory and committed by the front end (after
// each change, before its report line). No process runs: the process
// look-ups find nothing.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/os.h"
#include "platform/rescue/hive_store.h"

namespace rescue {

// What the Windows folder of C: turned out to be.
enum class DiskKind {
    nt,     // an NT-family installation: System32\config\SOFTWARE exists
    win9x,  // a 9x installation: SYSTEM.DAT in the Windows folder, no NT hives
};

struct HiveSlot {
    std::string name;                  // "SOFTWARE", "SYSTEM"
    std::string windows_path;          // as the report names it, C:\WINDOWS\system32\config\SOFTWARE
    std::string file;                  // the file on the rescue system
    std::unique_ptr<HiveStore> store;  // null when it could not be opened
    std::string open_error;            // why not
    // Set by the front end once a commit of the hive failed: it is not
    // written again, so its keys and values are no longer deleted (the
    // registry calls refuse it) and nothing more is said to be removed.
    bool frozen = false;
    // Why the store last refused a deletion (the registry call then failed),
    // until the front end has said so; "" when none.
    std::string change_error;
};

struct Disk {
    DiskKind kind = DiskKind::nt;
    std::string windows_dir;  // C:\WINDOWS, as the SOFTWARE hive names it
    std::string system_dir;   // C:\WINDOWS\system32 (C:\WINDOWS\SYSTEM on 9x)
    DWORD platform_id = VER_PLATFORM_WIN32_NT;
    DWORD major = 0, minor = 0, build = 0;
    std::string service_pack;  // CSDVersion
    std::string product;       // ProductName, when the hive has one
    HiveSlot software, system;
    DWORD current_control_set = 0;  // Select\Current; 0 when unknown
};

// Maps a drive letter (C to Z) to a folder of the rescue system; false, with
// the reason, when the letter is taken or the folder is no folder.
bool map_drive(char letter, const std::string &folder, std::string &error);

// Examines C: (mapped first): finds its Windows folder, opens its hives and
// reads the version from them. False, with the reason, when C: holds no
// Windows installation of either family; the root of the rescue system is
// always refused.
bool open_disk(std::string &error);

// The disk open_disk found (valid after it returned true).
Disk &disk();

// The folder of the rescue system a Windows path names, resolved as the
// seam resolves it; false when it does not resolve.
bool host_path(const std::string &windows_path, std::string &out);

// The report channel: SendMessageA to the report window calls this.
void set_report_handler(LRESULT (*handler)(UINT message, WPARAM wparam, LPARAM lparam));

// Safe in a signal handler: the walk's next look at its messages finds a
// WM_QUIT and ends the scan.
void request_stop();

// Forgets every drive and the disk (tests run several disks in one process).
void reset();

}  // namespace rescue
