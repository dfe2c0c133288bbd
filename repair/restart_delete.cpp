// Deferred deletion at restart.
//
// An existing wininit.ini is rewritten from a working copy in the temporary
// folder. When the copy cannot be made the file is left alone; when a write
// fails part-way the copy is put back, so the file never loses what it held.
// A file that was newly created and could not be written whole is removed.
#include "repair/restart_delete.h"

#include <cstring>

#include "engine/scan_state.h"
#include "memory/platform.h"
#include "platform/os.h"

namespace {

enum { path_buffer = 400, line_buffer = 648, permission = 0x180 };

bool write_text(int fd, const char *text) {
    int n = (int)std::strlen(text);
    return os::_write(fd, text, (unsigned)n) == n;
}

bool write_entry(int fd, const char *key, const char *value) {
    return write_text(fd, key) && write_text(fd, "=") && write_text(fd, value) && write_text(fd, "\r\n");
}

bool create_rename_file(const char *rename_path, const char *key, const char *value) {
    int fd = os::_open(rename_path, _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY, permission);
    if (fd == -1) return false;
    bool ok = write_text(fd, "[rename]\r\n") && write_entry(fd, key, value);
    os::_close(fd);
    if (!ok) os::DeleteFileA(rename_path);
    return ok;
}

bool rewrite_rename_file(const char *rename_path, const char *key, const char *value) {
    char copy_path[path_buffer];
    DWORD length = os::GetTempPathA(260, copy_path);
    if (length == 0 || length >= 260 || !append_text(copy_path, sizeof copy_path, "wininit.ini")) return false;
    if (!os::CopyFileA(rename_path, copy_path, FALSE)) return false;
    FILE *copy = os::fopen(copy_path, "r");
    if (!copy) return false;
    int fd = os::_open(rename_path, _O_WRONLY | _O_TRUNC | _O_BINARY, permission);
    if (fd == -1) {
        os::fclose(copy);
        return false;
    }
    bool inside = false, written = false, ok = true, seen_section = false, line_open = false;
    char line[line_buffer];
    while (ok && os::fgets(line, sizeof line, copy)) {
        if (!written) {
            if (!inside && os::_strnicmp(line, "[rename]", 8) == 0) {
                inside = true;
                seen_section = true;
            } else if (inside && line[0] == '[') {
                ok = write_entry(fd, key, value);
                written = true;
            }
        }
        if (ok) ok = write_text(fd, line);
        size_t n = std::strlen(line);
        line_open = n > 0 && line[n - 1] != '\n';
    }
    // A last line without its line end is ended first, so the entry stands
    // on a line of its own.
    if (ok && !written)
        ok = (!line_open || write_text(fd, "\r\n")) && (seen_section || write_text(fd, "[rename]\r\n")) &&
             write_entry(fd, key, value);
    os::_close(fd);
    os::fclose(copy);
    if (!ok) os::CopyFileA(copy_path, rename_path, FALSE);  // the former content back
    return ok;
}

}  // namespace

bool write_rename_entry(const char *key, const char *value) {
    char rename_path[path_buffer];
    UINT length = os::GetWindowsDirectoryA(rename_path, 350);
    if (length == 0 || length >= 350 || !append_text(rename_path, sizeof rename_path, "\\wininit.ini"))
        return false;
    if (os::_access(rename_path, 0) != 0) return create_rename_file(rename_path, key, value);
    return rewrite_rename_file(rename_path, key, value);
}

int schedule_delete_at_restart(const char *path) {
    int family = platform_family();
    if (family == 5) return os::MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? 1 : 0;
    if (family == 4) {
        // Only the short form can be named in wininit.ini; without it nothing
        // is scheduled.
        char short_path[260];
        DWORD length = os::GetShortPathNameA(path, short_path, sizeof short_path);
        if (length == 0 || length >= sizeof short_path) return 0;
        return write_rename_entry("NUL", short_path) ? 1 : 0;
    }
    return 0;
}
