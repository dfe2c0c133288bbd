// The rescue backend's file calls: Windows paths resolved below the folder a
// drive letter is mapped to, one component at a time and without regard to
// case (an exact name first, then the folder's entries compared as Windows
// compares names, then their NTFS short names for a name with a "~"), every
// folder opened without following a symbolic link and refused when it lies
// on another file system. Searches list what Windows would list of such a
// tree, sorted by name as NTFS lists them, and leave out links, mount points
// and anything that is neither a file nor a folder. Files are opened for
// reading only; nothing is created, written, copied or moved. Another file
// system, and a mount of the same one (a bind mount), are never entered.
#include <dirent.h>
#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/host_text.h"
#include "platform/rescue/internal.h"

namespace rescue {

namespace {

const char ntfs_attributes[] = "system.ntfs_attrib";
const char ntfs_short_name[] = "system.ntfs_dos_name";

// The attributes SetFileAttributesA may change; the rest are kept.
const DWORD settable_attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | 0x100 /* temporary */ | 0x1000 /* offline */ |
                                  0x2000 /* not content indexed */;

std::string fd_path(int dir_fd, const std::string &name) {
    return "/proc/self/fd/" + std::to_string(dir_fd) + "/" + name;
}

// The NTFS short (8.3) name of an entry, as ntfs-3g shows it; "" when none.
std::string short_name_of(int dir_fd, const std::string &name) {
    char buffer[64];
    ssize_t n = lgetxattr(fd_path(dir_fd, name).c_str(), ntfs_short_name, buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, (size_t)n) : std::string();
}

// A file or folder of the drive's own mount: a folder or file mounted over
// an entry of the tree (a bind mount shares the device) is another mount.
bool reachable(const DriveRoot &drive, int dir_fd, const std::string &name, const struct stat &st) {
    if (st.st_dev != drive.device || !(S_ISDIR(st.st_mode) || S_ISREG(st.st_mode))) return false;
    uint64_t mount;
    return !drive.mount_known || (mount_id(dir_fd, name.c_str(), mount) && mount == drive.mount);
}

// The entry of the folder that `wanted` (ANSI) names; false when none.
bool find_entry(int dir_fd, const std::string &wanted, std::string &found) {
    std::string exact = ansi_to_utf8(wanted);
    struct stat st;
    if (fstatat(dir_fd, exact.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        found = exact;
        return true;
    }
    int listing = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return false;
    DIR *dir = fdopendir(listing);
    if (!dir) {
        close(listing);
        return false;
    }
    std::vector<std::string> matches;
    bool short_form = wanted.find('~') != std::string::npos;
    while (dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        bool lossy = false;
        std::string ansi = utf8_to_ansi(name, &lossy);
        if ((!lossy && same_name(ansi, wanted)) || (short_form && same_name(short_name_of(dir_fd, name), wanted)))
            matches.push_back(name);
    }
    closedir(dir);
    if (matches.empty()) return false;
    std::sort(matches.begin(), matches.end());
    found = matches.front();
    return true;
}

// Windows' wildcards, letter case aside in the ANSI code page.
bool wildcard_match(const std::string &pattern, const std::string &name) {
    return host_text::wildcard_match(pattern, name, upper_ansi);
}

FILETIME filetime_of(const struct timespec &t) {
    // 100-ns intervals since 1601-01-01.
    uint64_t v = ((uint64_t)t.tv_sec + 11644473600ull) * 10000000ull + (uint64_t)t.tv_nsec / 100;
    FILETIME f;
    f.dwLowDateTime = (DWORD)v;
    f.dwHighDateTime = (DWORD)(v >> 32);
    return f;
}

WIN32_FIND_DATAA entry_of(const std::string &ansi_name, DWORD attributes, const struct stat &st) {
    WIN32_FIND_DATAA d;
    std::memset(&d, 0, sizeof d);
    d.dwFileAttributes = attributes;
    if (!S_ISDIR(st.st_mode)) {
        d.nFileSizeLow = (DWORD)st.st_size;
        d.nFileSizeHigh = (DWORD)((uint64_t)st.st_size >> 32);
    }
    d.ftCreationTime = filetime_of(st.st_ctim);
    d.ftLastAccessTime = filetime_of(st.st_atim);
    d.ftLastWriteTime = filetime_of(st.st_mtim);
    std::strncpy(d.cFileName, ansi_name.c_str(), MAX_PATH - 1);
    return d;
}

struct Find {
    std::vector<WIN32_FIND_DATAA> entries;
    size_t next = 0;
};
std::map<HANDLE, Find> finds;

// Opens an entry of a folder for an attribute ioctl, never following a link
// and never blocking on a special file.
int open_entry(int dir_fd, const std::string &name) {
    return openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

}  // namespace

bool mount_id(int dir_fd, const char *name, uint64_t &out) {
    struct statx sx;
    int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (name[0] ? 0 : AT_EMPTY_PATH);
    if (statx(dir_fd, name, flags, STATX_MNT_ID, &sx) != 0 || !(sx.stx_mask & STATX_MNT_ID)) return false;
    out = sx.stx_mnt_id;
    return true;
}

unsigned char upper_ansi(unsigned char c) {
    if (c >= 'a' && c <= 'z') return (unsigned char)(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return (unsigned char)(c - 32);
    if (c == 0x9A || c == 0x9C || c == 0x9E) return (unsigned char)(c - 16);  // s, oe, z with caron
    if (c == 0xFF) return 0x9F;
    return c;
}

bool same_name(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upper_ansi((unsigned char)a[i]) != upper_ansi((unsigned char)b[i])) return false;
    return true;
}

DWORD error_of_errno(int e) {
    switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EBUSY:
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_ACCESS_DENIED;
    }
}

void release(Resolved &r) {
    if (r.parent_fd >= 0) close(r.parent_fd);
    r.parent_fd = -1;
}

bool resolve(const std::string &path, Resolved &out, DWORD &error) {
    out = Resolved();
    error = ERROR_PATH_NOT_FOUND;
    if (path.size() < 2 || path[1] != ':') return false;
    char letter = (char)upper_ansi((unsigned char)path[0]);
    if (letter < 'A' || letter > 'Z') return false;
    const DriveRoot &drive = state().drives[letter - 'A'];
    if (drive.fd < 0) return false;
    std::vector<std::string> parts;
    size_t start = 2;
    for (size_t i = 2; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '\\' || path[i] == '/') {
            std::string part = path.substr(start, i - start);
            start = i + 1;
            if (part.empty() || part == ".") continue;
            if (part == "..") {
                if (!parts.empty()) parts.pop_back();
                continue;
            }
            parts.push_back(part);
        }
    out.drive = letter - 'A';
    out.windows = std::string(1, letter) + ":";
    if (parts.empty()) {
        out.windows += "\\";
        out.exists = fstat(drive.fd, &out.st) == 0;
        return out.exists;
    }
    int dir_fd = dup(drive.fd);
    if (dir_fd < 0) return false;
    for (size_t i = 0; i < parts.size(); ++i) {
        bool last = i + 1 == parts.size();
        std::string name;
        struct stat st;
        bool found = find_entry(dir_fd, parts[i], name) &&
                     fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && reachable(drive, dir_fd, name, st);
        if (last) {
            out.parent_fd = dir_fd;
            out.exists = found;
            out.leaf = found ? name : ansi_to_utf8(parts[i]);
            if (found) out.st = st;
            out.windows += "\\" + (found ? utf8_to_ansi(name) : parts[i]);
            error = found ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
            return true;
        }
        int next = found && S_ISDIR(st.st_mode)
                       ? openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                       : -1;
        close(dir_fd);
        struct stat opened;
        uint64_t mount = drive.mount;
        if (next >= 0 && (fstat(next, &opened) != 0 || opened.st_dev != drive.device || opened.st_ino != st.st_ino ||
                          (drive.mount_known && (!mount_id(next, "", mount) || mount != drive.mount)))) {
            close(next);
            next = -1;
        }
        if (next < 0) return false;
        dir_fd = next;
        out.windows += "\\" + utf8_to_ansi(name);
    }
    return false;  // not reached
}

DWORD entry_attributes(const DriveRoot &drive, int dir_fd, const std::string &name, const struct stat &st) {
    bool folder = S_ISDIR(st.st_mode);
    DWORD value = 0;
    bool known = false;
    if (drive.fat) {
        int fd = open_entry(dir_fd, name);
        uint32_t fat = 0;
        if (fd >= 0 && ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &fat) == 0) {
            value = fat;
            known = true;
        }
        if (fd >= 0) close(fd);
    } else {
        uint32_t ntfs = 0;
        if (lgetxattr(fd_path(dir_fd, name).c_str(), ntfs_attributes, &ntfs, sizeof ntfs) == (ssize_t)sizeof ntfs) {
            value = ntfs;
            known = true;
        }
    }
    if (!known) value = 0;
    value &= ~(DWORD)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL);
    if (folder) value |= FILE_ATTRIBUTE_DIRECTORY;
    if (value == 0) value = FILE_ATTRIBUTE_NORMAL;
    return value;
}

}  // namespace rescue

using rescue::Resolved;
using rescue::set_error;
using rescue::state;

namespace os {

UINT GetDriveTypeA(LPCSTR root) {
    if (!root || root[1] != ':') return DRIVE_NO_ROOT_DIR;
    unsigned char letter = rescue::upper_ansi((unsigned char)root[0]);
    if (letter < 'A' || letter > 'Z') return DRIVE_NO_ROOT_DIR;
    return state().drives[letter - 'A'].fd >= 0 ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR;
}

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA *data) {
    std::string p = pattern ? pattern : "";
    size_t slash = p.find_last_of("\\/");
    if (slash == std::string::npos) {
        set_error(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string name_pattern = p.substr(slash + 1);
    Resolved dir;
    DWORD error;
    bool ok = rescue::resolve(p.substr(0, slash + 1), dir, error);
    if (!ok || !dir.exists || !S_ISDIR(dir.st.st_mode)) {
        rescue::release(dir);
        set_error(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const rescue::DriveRoot &drive = state().drives[dir.drive];
    // A folder of its own opening: a listing moves the position of the
    // open folder it reads, which the drive's root must keep.
    int fd = dir.parent_fd < 0 ? openat(drive.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                               : openat(dir.parent_fd, dir.leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    bool root = dir.parent_fd < 0;
    rescue::release(dir);
    DIR *listing = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!listing) {
        if (fd >= 0) close(fd);
        set_error(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    struct Entry {
        std::string sort_key, name, ansi;
        struct stat st;
    };
    std::vector<Entry> entries;
    struct stat self;
    fstat(fd, &self);
    errno = 0;
    while (dirent *e = readdir(listing)) {
        Entry entry;
        entry.name = e->d_name;
        if (entry.name == "." || entry.name == "..") continue;
        if (fstatat(fd, entry.name.c_str(), &entry.st, AT_SYMLINK_NOFOLLOW) != 0 || !rescue::reachable(drive, fd, entry.name, entry.st))
            continue;
        entry.ansi = rescue::utf8_to_ansi(entry.name);
        if (!rescue::wildcard_match(name_pattern, entry.ansi)) continue;
        for (char c : entry.ansi) entry.sort_key += (char)rescue::upper_ansi((unsigned char)c);
        entries.push_back(entry);
    }
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        return a.sort_key != b.sort_key ? a.sort_key < b.sort_key : a.name < b.name;
    });
    rescue::Find f;
    // "." and ".." in every folder but a drive root, as Windows lists them.
    if (!root) {
        if (rescue::wildcard_match(name_pattern, "."))
            f.entries.push_back(rescue::entry_of(".", FILE_ATTRIBUTE_DIRECTORY, self));
        if (rescue::wildcard_match(name_pattern, ".."))
            f.entries.push_back(rescue::entry_of("..", FILE_ATTRIBUTE_DIRECTORY, self));
    }
    for (const Entry &e : entries)
        f.entries.push_back(rescue::entry_of(e.ansi, rescue::entry_attributes(drive, fd, e.name, e.st), e.st));
    closedir(listing);
    if (f.entries.empty()) {
        set_error(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    *data = f.entries[0];
    f.next = 1;
    HANDLE h = (HANDLE)(state().next_handle += 4);
    rescue::finds[h] = f;
    return h;
}

BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA *data) {
    auto it = rescue::finds.find(find);
    if (it == rescue::finds.end()) {
        set_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (it->second.next >= it->second.entries.size()) {
        set_error(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    *data = it->second.entries[it->second.next++];
    return TRUE;
}

BOOL FindClose(HANDLE find) { return rescue::finds.erase(find) ? TRUE : FALSE; }

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
    Resolved r;
    DWORD error;
    if (!rescue::resolve(path ? path : "", r, error) || !r.exists) {
        rescue::release(r);
        set_error(error == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : error);
        return FALSE;
    }
    if (r.parent_fd < 0) return TRUE;  // a drive root keeps its attributes
    const rescue::DriveRoot &drive = state().drives[r.drive];
    DWORD wanted = attributes == FILE_ATTRIBUTE_NORMAL ? 0 : attributes & rescue::settable_attributes;
    bool ok = true;
    int e = 0;
    if (drive.fat) {
        int fd = rescue::open_entry(r.parent_fd, r.leaf);
        uint32_t fat = 0;
        ok = fd >= 0 && ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &fat) == 0;
        if (ok) {
            fat = (fat & ~(uint32_t)0x27) | (wanted & 0x27);
            ok = ioctl(fd, FAT_IOCTL_SET_ATTRIBUTES, &fat) == 0;
        }
        e = errno;
        if (fd >= 0) close(fd);
    } else {
        std::string file = rescue::fd_path(r.parent_fd, r.leaf);
        uint32_t ntfs = 0;
        ssize_t n = lgetxattr(file.c_str(), rescue::ntfs_attributes, &ntfs, sizeof ntfs);
        if (n == (ssize_t)sizeof ntfs) {
            uint32_t changed = (ntfs & ~rescue::settable_attributes) | wanted;
            ok = changed == ntfs ||
                 lsetxattr(file.c_str(), rescue::ntfs_attributes, &changed, sizeof changed, 0) == 0;
            e = errno;
        }
        // Without the attribute the file system keeps none: the file is normal.
    }
    rescue::release(r);
    if (!ok) {
        set_error(rescue::error_of_errno(e));
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
    Resolved r;
    DWORD error;
    if (!rescue::resolve(path ? path : "", r, error)) {
        set_error(error);
        return FALSE;
    }
    DWORD result = ERROR_SUCCESS;
    if (!r.exists) result = ERROR_FILE_NOT_FOUND;
    else if (r.parent_fd < 0 || !S_ISREG(r.st.st_mode)) result = ERROR_ACCESS_DENIED;
    else if (rescue::entry_attributes(state().drives[r.drive], r.parent_fd, r.leaf, r.st) & FILE_ATTRIBUTE_READONLY)
        result = ERROR_ACCESS_DENIED;
    else if (unlinkat(r.parent_fd, r.leaf.c_str(), 0) != 0)
        result = rescue::error_of_errno(errno);
    else
        // The folder flushed: the deletion is on the disk before the line
        // that says so, as a hive's change is (a file system that cannot
        // flush a folder keeps it as it can).
        fsync(r.parent_fd);
    rescue::release(r);
    if (result != ERROR_SUCCESS) {
        set_error(result);
        return FALSE;
    }
    return TRUE;
}

// Nothing is copied or moved on the disk: a deletion at restart cannot be
// recorded, and the 9x rename file is never written.
BOOL CopyFileA(LPCSTR, LPCSTR, BOOL) {
    set_error(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL MoveFileExA(LPCSTR, LPCSTR, DWORD) {
    set_error(ERROR_ACCESS_DENIED);
    return FALSE;
}

DWORD GetShortPathNameA(LPCSTR long_path, LPSTR short_path, DWORD size) {
    Resolved r;
    DWORD error;
    if (!rescue::resolve(long_path ? long_path : "", r, error) || !r.exists) {
        rescue::release(r);
        set_error(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    rescue::release(r);
    // Each component by its NTFS short name where ntfs-3g shows one.
    std::string out = r.windows.substr(0, 2);
    Resolved step;
    std::string so_far = out;
    size_t start = 3;
    while (start <= r.windows.size() && r.windows.size() > 3) {
        size_t end = r.windows.find('\\', start);
        if (end == std::string::npos) end = r.windows.size();
        std::string part = r.windows.substr(start, end - start);
        so_far += "\\" + part;
        std::string short_form;
        if (rescue::resolve(so_far, step, error) && step.exists && step.parent_fd >= 0)
            short_form = rescue::short_name_of(step.parent_fd, step.leaf);
        rescue::release(step);
        out += "\\" + (short_form.empty() ? part : rescue::utf8_to_ansi(short_form));
        start = end + 1;
    }
    if (out.size() == 2) out += "\\";
    if (out.size() + 1 > size) return (DWORD)out.size() + 1;
    std::memcpy(short_path, out.c_str(), out.size() + 1);
    return (DWORD)out.size();
}

int _access(const char *path, int mode) {
    Resolved r;
    DWORD error;
    bool ok = rescue::resolve(path ? path : "", r, error) && r.exists;
    if (ok && (mode & 2) && r.parent_fd >= 0 &&
        (rescue::entry_attributes(state().drives[r.drive], r.parent_fd, r.leaf, r.st) & FILE_ATTRIBUTE_READONLY))
        ok = false;
    rescue::release(r);
    return ok ? 0 : -1;
}

int _open(const char *path, int flags, int) {
    if (flags & (_O_WRONLY | _O_RDWR | _O_CREAT | _O_TRUNC | _O_APPEND)) {
        errno = EACCES;
        return -1;
    }
    Resolved r;
    DWORD error;
    int fd = -1;
    if (rescue::resolve(path ? path : "", r, error) && r.exists && r.parent_fd >= 0 && S_ISREG(r.st.st_mode))
        fd = openat(r.parent_fd, r.leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    rescue::release(r);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    return fd;
}

int _read(int fd, void *buffer, unsigned int count) {
    ssize_t n;
    do n = read(fd, buffer, count);
    while (n < 0 && errno == EINTR);
    return (int)n;
}

long _lseek(int fd, long offset, int origin) { return (long)lseek(fd, offset, origin); }

long _filelength(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? (long)st.st_size : -1L;
}

int _close(int fd) { return close(fd); }

namespace {
// The handle _get_osfhandle gives for a descriptor: never 0 or -1.
const intptr_t fd_handle_base = 0x10000;
}  // namespace

intptr_t _get_osfhandle(int fd) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return -1;
    return fd_handle_base + fd;
}

// A file's identity is its node on its file system: the device stands for
// the volume serial number, the inode for the file index.
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *information) {
    intptr_t value = (intptr_t)file - fd_handle_base;
    struct stat st;
    if (!information || value < 0 || value > 0x7fffffff || fstat((int)value, &st) != 0) return FALSE;
    std::memset(information, 0, sizeof *information);
    uint64_t device = (uint64_t)st.st_dev, index = (uint64_t)st.st_ino;
    information->dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    information->dwVolumeSerialNumber = (DWORD)(device ^ (device >> 32));
    information->nFileIndexHigh = (DWORD)(index >> 32);
    information->nFileIndexLow = (DWORD)index;
    information->nFileSizeHigh = (DWORD)((uint64_t)st.st_size >> 32);
    information->nFileSizeLow = (DWORD)st.st_size;
    information->nNumberOfLinks = (DWORD)st.st_nlink;
    return TRUE;
}

int _write(int, const void *, unsigned int) {
    errno = EBADF;
    return -1;
}

}  // namespace os
