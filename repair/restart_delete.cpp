// Deferred deletion at restart.
//
// An existing wininit.ini is rewritten from a working copy beside it, read
// and written byte for byte, with only the entry added; the copy is removed
// afterwards. When the copy cannot be made or read the file is left alone;
// when a write fails part-way the copy is put back, so the file never loses
// what it held. A file that was newly created and could not be written
// whole is removed. The path in an entry is written in the OEM code page, in
// which the real-mode WININIT reads it.
#include "repair/restart_delete.h"

#include <cstring>
#include <string>

#include "engine/scan_state.h"
#include "memory/platform.h"
#include "platform/os.h"

namespace {

enum { path_buffer = 400, permission = 0x180 };
const char rename_file_name[] = "wininit.ini";
// The working copy of an existing rename file, beside it in the Windows
// folder (the temporary folder of a 9x machine may be any folder, the
// Windows folder itself among them).
const char working_copy_name[] = "wininit.pmk";
const long largest_rename_file = 16L << 20;

bool write_bytes(int fd, const char *bytes, size_t n) {
    return n == 0 || os::_write(fd, bytes, (unsigned)n) == (int)n;
}

bool write_text(int fd, const char *text) { return write_bytes(fd, text, std::strlen(text)); }

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

// The whole content of a file, read raw; false when it cannot be read.
bool read_whole(const char *path, std::string &content) {
    int fd = os::_open(path, _O_RDONLY | _O_BINARY);
    if (fd == -1) return false;
    long length = os::_filelength(fd);
    bool ok = length >= 0 && length <= largest_rename_file;
    if (ok) {
        content.assign((size_t)length, '\0');
        long got = 0;
        while (ok && got < length) {
            int n = os::_read(fd, &content[(size_t)got], (unsigned)(length - got));
            ok = n > 0;
            if (ok) got += n;
        }
    }
    os::_close(fd);
    return ok;
}

// Where the entry goes: before the first line that opens a section after the
// [rename] header, else at the end of the text. The text ends at the first
// Ctrl-Z byte, where a reader in text mode stops.
size_t entry_position(const std::string &content, bool &has_section) {
    size_t text_end = content.find('\x1a');
    if (text_end == std::string::npos) text_end = content.size();
    has_section = false;
    for (size_t line = 0; line < text_end;) {
        if (!has_section && text_end - line >= 8 && os::_strnicmp(content.c_str() + line, "[rename]", 8) == 0)
            has_section = true;
        else if (has_section && content[line] == '[')
            return line;
        size_t end = content.find('\n', line);
        if (end == std::string::npos || end >= text_end) break;
        line = end + 1;
    }
    return text_end;
}

// Rewrites an existing rename file with the entry added: every byte it held
// stays as it was.
bool rewrite_rename_file(const char *rename_path, const char *key, const char *value) {
    char copy_path[path_buffer];
    if (!copy_text(copy_path, sizeof copy_path, rename_path)) return false;
    std::strcpy(copy_path + std::strlen(copy_path) - std::strlen(rename_file_name), working_copy_name);
    // A read-only file is left alone before a copy of it (read-only as well,
    // and so not removable) is made.
    if (os::_access(rename_path, 2) != 0) return false;
    // A copy already there is one that a rewrite which could not be undone
    // kept, the one place holding what the file held: it is never replaced.
    if (!os::CopyFileA(rename_path, copy_path, TRUE)) return false;
    std::string content;
    if (!read_whole(copy_path, content)) {
        os::DeleteFileA(copy_path);
        return false;
    }
    bool has_section = false;
    size_t at = entry_position(content, has_section);
    // An entry at the end of the text stands on a line of its own, in a
    // section of its own when the file has none.
    std::string before_entry;
    if (!has_section || at == content.size() || content[at] != '[') {
        if (at > 0 && content[at - 1] != '\n') before_entry += "\r\n";
        if (!has_section) before_entry += "[rename]\r\n";
    }
    int fd = os::_open(rename_path, _O_WRONLY | _O_TRUNC | _O_BINARY, permission);
    if (fd == -1) {
        os::DeleteFileA(copy_path);
        return false;
    }
    bool ok = write_bytes(fd, content.data(), at) && write_text(fd, before_entry.c_str()) &&
              write_entry(fd, key, value) && write_bytes(fd, content.data() + at, content.size() - at);
    os::_close(fd);
    // On a failed write the former content goes back; the copy stays only
    // when that fails too, as the one place that still holds it.
    if (ok || os::CopyFileA(copy_path, rename_path, FALSE)) os::DeleteFileA(copy_path);
    return ok;
}

}  // namespace

bool write_rename_entry(const char *key, const char *value) {
    char rename_path[path_buffer];
    UINT length = os::GetWindowsDirectoryA(rename_path, 350);
    if (length == 0 || length >= 350 || !append_text(rename_path, sizeof rename_path, "\\") ||
        !append_text(rename_path, sizeof rename_path, rename_file_name))
        return false;
    if (os::_access(rename_path, 0) != 0) return create_rename_file(rename_path, key, value);
    return rewrite_rename_file(rename_path, key, value);
}

int schedule_delete_at_restart(const char *path) {
    int family = platform_family();
    if (family == 5) {
        // The session manager deletes at boot the file that the recorded
        // text names, with no redirection: under WOW64 the text must name the
        // file in the 32-bit system folder that the program saw, never the
        // native file of the same name.
        char unredirected[MAX_PATH];
        if (!unredirected_path(path, unredirected, sizeof unredirected)) return 0;
        return os::MoveFileExA(unredirected, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? 1 : 0;
    }
    if (family == 4) {
        // Only the short form can be named in wininit.ini; without it nothing
        // is scheduled.
        // WININIT reads the file before Windows starts, in the OEM code page.
        char short_path[260], oem_path[260];
        DWORD length = os::GetShortPathNameA(path, short_path, sizeof short_path);
        if (length == 0 || length >= sizeof short_path || !os::CharToOemA(short_path, oem_path)) return 0;
        return write_rename_entry("NUL", oem_path) ? 1 : 0;
    }
    return 0;
}
