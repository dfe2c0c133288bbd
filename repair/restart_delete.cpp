// Deferred deletion at restart.
//
// An existing wininit.ini is rewritten byte for byte with only the entry
// added, after a working copy beside it has been made and read back; the
// copy is removed afterwards. When the copy cannot be made or read the file
// is left alone; when a write fails part-way the copy is put back, so the
// file never loses what it held (when even that fails, the copy stays and
// the next rewrite of the run puts it back first). A copy found beside the
// file is removed when the file holds everything it holds and kept
// otherwise; a kept one is passed over for the next working-copy name. A
// file that was newly created and could not be written whole is removed.
// The path in an entry is written in the OEM code page, in which the
// real-mode WININIT reads it.
#include "repair/restart_delete.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/platform_facts.h"
#include "engine/scan_state.h"
#include "platform/os.h"

namespace {

enum { path_buffer = 400, permission = 0x180 };
const char rename_file_name[] = "wininit.ini";
// The working copy of an existing rename file, beside it in the Windows
// folder (the temporary folder of a 9x machine may be any folder, the
// Windows folder itself among them), and how many names it may take.
const char working_copy_name[] = "wininit.pmk";
enum { working_copy_names = 10 };
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

// The path of working copy number (0 to working_copy_names - 1) beside the
// rename file: "wininit.pmk", then "wininit.pm1" to "wininit.pm9".
bool working_copy_path(const char *rename_path, int number, char (&copy_path)[path_buffer]) {
    if (!copy_text(copy_path, sizeof copy_path, rename_path)) return false;
    char *name = copy_path + std::strlen(copy_path) - std::strlen(rename_file_name);
    std::strcpy(name, working_copy_name);
    if (number > 0) name[std::strlen(name) - 1] = (char)('0' + number);
    return true;
}

// The lines of a text without their line ends; empty lines hold nothing and
// are left out.
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        size_t stop = end > at && text[end - 1] == '\r' ? end - 1 : end;
        if (stop > at) lines.push_back(text.substr(at, stop - at));
        at = end + 1;
    }
    return lines;
}

// Whether text holds every line of copy, in the copy's order: so it does
// after the rewrite that made the copy (one entry added, every byte kept),
// and when the copy was made of the file as it is.
bool holds_all_of(const std::string &text, const std::string &copy) {
    std::vector<std::string> have = lines_of(text);
    size_t at = 0;
    for (const std::string &line : lines_of(copy)) {
        while (at < have.size() && have[at] != line) ++at;
        if (at == have.size()) return false;
        ++at;
    }
    return true;
}

// FNV-1a over the length and the bytes of a text.
uint32_t fingerprint(const std::string &text) {
    uint32_t hash = 2166136261u ^ (uint32_t)text.size();
    for (unsigned char c : text) hash = (hash ^ c) * 16777619u;
    return hash;
}

// A rewrite of this run that failed part-way and could not be undone kept
// its working copy, the one place then holding what the file held: it goes
// back before anything is added, while the file holds exactly what that
// rewrite left (changed since, the file is not overwritten and the copy
// stays as it is). content is the file's content, and after a restore the
// restored one. False when the file cannot be put right.
bool restore_kept_copy(const char *rename_path, std::string &content) {
    if (!scan_state.rename_copy_kept) return true;
    char copy_path[path_buffer];
    if (!working_copy_path(rename_path, scan_state.rename_copy_kept - 1, copy_path)) return false;
    if (fingerprint(content) == scan_state.rename_left_fingerprint && os::_access(copy_path, 0) == 0) {
        std::string kept;
        if (!read_whole(copy_path, kept)) return false;
        if (!holds_all_of(content, kept) &&
            (!os::CopyFileA(copy_path, rename_path, FALSE) || !read_whole(rename_path, content)))
            return false;
    }
    scan_state.rename_copy_kept = 0;
    return true;
}

// The number of the first working copy name that is free or can be made
// free; -1 when none can. A copy there that holds nothing the file lacks is
// a leftover (another program held it for a moment as it was to be removed)
// and is removed. One that holds what the file lacks, the one place still
// holding what a failed rewrite (of this run or an earlier one) lost, is
// never touched; neither is one that cannot be read or removed. The next
// name is tried instead.
int free_working_copy(const char *rename_path, const std::string &content, char (&copy_path)[path_buffer]) {
    for (int number = 0; number < working_copy_names; ++number) {
        if (!working_copy_path(rename_path, number, copy_path)) return -1;
        if (os::_access(copy_path, 0) != 0) return number;
        std::string held;
        if (read_whole(copy_path, held) && holds_all_of(content, held) && os::DeleteFileA(copy_path)) return number;
    }
    return -1;
}

// Rewrites an existing rename file with the entry added: every byte it held
// stays as it was.
bool rewrite_rename_file(const char *rename_path, const char *key, const char *value) {
    // A read-only file is left alone before a copy of it (read-only as well,
    // and so not removable) is made.
    if (os::_access(rename_path, 2) != 0) return false;
    std::string content;
    if (!read_whole(rename_path, content) || !restore_kept_copy(rename_path, content)) return false;
    char copy_path[path_buffer];
    int number = free_working_copy(rename_path, content, copy_path);
    if (number < 0) return false;
    // The copy is made on disk and read back before the file is touched.
    if (!os::CopyFileA(rename_path, copy_path, TRUE)) return false;
    std::string copied;
    if (!read_whole(copy_path, copied) || copied != content) {
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
    // when that fails too, as the one place that still holds it. A copy that
    // cannot be removed holds nothing the file lacks: a later rewrite passes
    // over it or removes it.
    std::string left;
    if (ok || os::CopyFileA(copy_path, rename_path, FALSE)) {
        os::DeleteFileA(copy_path);
    } else if (read_whole(rename_path, left)) {
        scan_state.rename_copy_kept = number + 1;
        scan_state.rename_left_fingerprint = fingerprint(left);
    }
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
