// Simulated drives, folders and files, and the os:: file calls over them:
// searches, attributes, deletion, the C runtime's low-level file calls,
// copies, deletion at restart and short names. Behaviour follows the Windows
// API where the engine depends on it: case-insensitive paths, "." and ".." in
// every directory but a drive root, the wildcard rules of FindFirstFileA,
// read-only files that refuse deletion, files that cannot be deleted while
// open.

#include <cctype>
#include <cstring>

#include "platform/sim/internal.h"

namespace sim {

namespace {
WIN32_FIND_DATAA entry_of(const std::string &name, const Node *node) {
    WIN32_FIND_DATAA d;
    std::memset(&d, 0, sizeof d);
    d.dwFileAttributes = node->attributes | (node->is_dir ? FILE_ATTRIBUTE_DIRECTORY : 0);
    if (!node->is_dir) {
        unsigned long long size = node->listed_size >= 0 ? (unsigned long long)node->listed_size : node->data.size();
        d.nFileSizeLow = (DWORD)size;
        d.nFileSizeHigh = (DWORD)(size >> 32);
    }
    std::strncpy(d.cFileName, name.c_str(), MAX_PATH - 1);
    return d;
}
}  // namespace

// A name with a "~" may be a child's short (8.3) name, as Windows resolves
// paths in either form.
Node *Node::child(const std::string &name) const {
    auto it = by_name.find(folded(name));
    if (it != by_name.end()) return it->second;
    if (name.find('~') == std::string::npos) return nullptr;
    for (auto &c : children)
        if (!c->short_name.empty() && iequals(c->short_name, name)) return c.get();
    return nullptr;
}

Node *Node::add_child(const std::string &name) {
    children.emplace_back(new Node());
    Node *n = children.back().get();
    n->name = name;
    n->parent = this;
    by_name[folded(name)] = n;
    return n;
}

void Node::remove_child(Node *c) {
    by_name.erase(folded(c->name));
    for (auto it = children.begin(); it != children.end(); ++it)
        if (it->get() == c) {
            children.erase(it);
            return;
        }
}

void Machine::add_drive(char letter, UINT type) {
    Drive &d = drives[lower(letter) - 'a'];
    d.type = type;
    if (!d.root) {
        d.root.reset(new Node());
        d.root->is_dir = true;
        d.root->attributes = FILE_ATTRIBUTE_DIRECTORY;
    }
}

// Resolves "X:\a\b"; returns the node or nullptr, and the parent directory of
// the last component (when that exists) and the last component's name.
Node *Machine::resolve(const std::string &path, Node **parent_out, std::string *leaf_out) {
    if (parent_out) *parent_out = nullptr;
    if (path.size() < 2 || path[1] != ':' || !std::isalpha((unsigned char)path[0])) return nullptr;
    Drive &d = drives[lower(path[0]) - 'a'];
    if (!d.root) return nullptr;
    std::vector<std::string> parts = split(path.substr(2), '\\');
    Node *cur = d.root.get();
    if (parts.empty()) return cur;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i + 1 == parts.size()) {
            if (parent_out) *parent_out = cur;
            if (leaf_out) *leaf_out = parts[i];
        }
        Node *next = cur->is_dir ? cur->child(parts[i]) : nullptr;
        if (!next) return nullptr;
        cur = next->link ? next->link : next;
    }
    return cur;
}

Node *Machine::find(const std::string &path) { return resolve(path, nullptr, nullptr); }

Node *Machine::add_dir(const std::string &path, DWORD attributes) {
    Drive &d = drives[lower(path[0]) - 'a'];
    if (!d.root) add_drive(path[0], DRIVE_FIXED);
    Node *cur = d.root.get();
    for (const std::string &part : split(path.substr(2), '\\')) {
        Node *next = cur->child(part);
        if (!next) {
            next = cur->add_child(part);
            next->is_dir = true;
            next->attributes = FILE_ATTRIBUTE_DIRECTORY;
        }
        cur = next;
    }
    cur->attributes = attributes | FILE_ATTRIBUTE_DIRECTORY;
    return cur;
}

Node *Machine::add_link(const std::string &path, const std::string &target) {
    Node *to = find(target);
    Node *n = add_dir(path);
    n->link = to;
    return n;
}

Node *Machine::add_file(const std::string &path, const std::string &data, DWORD attributes) {
    size_t slash = last_slash(path);
    Node *dir = add_dir(path.substr(0, slash));
    std::string name = path.substr(slash + 1);
    if (Node *c = dir->child(name)) {
        c->data = data;
        c->attributes = attributes;
        return c;
    }
    Node *n = dir->add_child(name);
    n->data = data;
    n->attributes = attributes;
    return n;
}

std::string Machine::file_data(const std::string &path) {
    Node *n = find(path);
    return n ? n->data : std::string();
}

std::vector<std::string> Machine::all_files() {
    std::vector<std::string> out;
    std::function<void(Node *, const std::string &)> walk = [&](Node *n, const std::string &p) {
        for (auto &c : n->children) {
            std::string cp = p + "\\" + c->name;
            if (c->link)
                continue;
            if (c->is_dir)
                walk(c.get(), cp);
            else
                out.push_back(cp);
        }
    };
    for (int i = 0; i < 26; ++i)
        if (drives[i].root) walk(drives[i].root.get(), std::string(1, (char)('A' + i)) + ":");
    return out;
}

std::string Machine::in_current_dir(const std::string &path) {
    bool qualified = path.size() >= 2 && (path[1] == ':' || (path[0] == '\\' && path[1] == '\\'));
    if (qualified || current_dir.empty() || path.empty()) return path;
    return path[0] == '\\' ? current_dir.substr(0, 2) + path : current_dir + "\\" + path;
}

std::string Machine::program_view(const std::string &path) {
    std::string p = in_current_dir(path);
    if (!wow64) return p;
    auto below = [&](const std::string &folder, std::string &rest) {
        if (p.size() <= folder.size() + 1 || !iequals(p.substr(0, folder.size()), folder) || p[folder.size()] != '\\')
            return false;
        rest = p.substr(folder.size() + 1);
        return true;
    };
    std::string rest;
    if (below(system_dir, rest)) {
        std::string first = folded(rest.substr(0, rest.find('\\')));
        bool seven = version.major > 6 || (version.major == 6 && version.minor >= 1);
        if (first == "catroot" || first == "catroot2" || (first == "driverstore" && seven) || first == "logfiles" ||
            first == "spool" || folded(rest + "\\").compare(0, 12, "drivers\\etc\\") == 0)
            return p;
        return wow64_system_dir + "\\" + rest;
    }
    if (below(windows_dir, rest) && iequals(rest, "regedit.exe")) return wow64_system_dir + "\\" + rest;
    return p;
}

}  // namespace sim

using sim::machine;

namespace os {

UINT GetDriveTypeA(LPCSTR root) {
    sim::Machine &m = sim::called("GetDriveTypeA");
    if (!root || !std::isalpha((unsigned char)root[0]) || root[1] != ':') return DRIVE_NO_ROOT_DIR;
    const sim::Machine::Drive &d = m.drives[std::tolower((unsigned char)root[0]) - 'a'];
    return d.root ? d.type : DRIVE_NO_ROOT_DIR;
}

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA *data) {
    sim::Machine &m = sim::called("FindFirstFileA");
    std::string p = m.program_view(pattern ? pattern : "");
    size_t slash = sim::last_slash(p);
    if (slash == std::string::npos || m.should_fail("FindFirstFileA")) {
        m.last_error = ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    std::string dir_path = p.substr(0, slash);
    std::string name_pattern = p.substr(slash + 1);
    sim::Node *dir = m.find(dir_path.size() == 2 ? dir_path + "\\" : dir_path);
    if (!dir || !dir->is_dir) {
        m.last_error = ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (dir->list_denied) {
        m.last_error = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    sim::Machine::Find f;
    if (dir->parent) {
        if (sim::wildcard_match(name_pattern, ".")) f.entries.push_back(sim::entry_of(".", dir));
        if (sim::wildcard_match(name_pattern, ".."))
            f.entries.push_back(sim::entry_of("..", dir->parent));
    }
    for (auto &c : dir->children)
        if (sim::wildcard_match(name_pattern, c->name)) f.entries.push_back(sim::entry_of(c->name, c.get()));
    if (f.entries.empty()) {
        m.last_error = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    *data = f.entries[0];
    f.next = 1;
    m.clock_ms += m.entry_ms;
    HANDLE h = (HANDLE)(m.next_handle += 4);
    m.finds[h] = f;
    ++m.open_find_handles;
    return h;
}

BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA *data) {
    sim::Machine &m = sim::called("FindNextFileA");
    auto it = m.finds.find(find);
    if (it == m.finds.end()) {
        m.last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    bool at_end = it->second.next >= it->second.entries.size();
    if (at_end || m.should_fail("FindNextFileA")) {
        m.last_error = at_end ? ERROR_NO_MORE_FILES : m.find_next_fault_error;
        return FALSE;
    }
    *data = it->second.entries[it->second.next++];
    m.clock_ms += m.entry_ms;
    return TRUE;
}

BOOL FindClose(HANDLE find) {
    sim::Machine &m = sim::called("FindClose");
    if (!m.finds.erase(find)) return FALSE;
    --m.open_find_handles;
    return TRUE;
}

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
    sim::Machine &m = sim::called("SetFileAttributesA");
    sim::Node *n = m.find(m.program_view(path ? path : ""));
    if (!n || m.should_fail("SetFileAttributesA")) {
        m.last_error = n ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    DWORD keep = n->is_dir ? FILE_ATTRIBUTE_DIRECTORY : 0;
    n->attributes = (attributes == FILE_ATTRIBUTE_NORMAL ? 0 : attributes) | keep;
    if (!n->is_dir && n->attributes == 0) n->attributes = FILE_ATTRIBUTE_NORMAL;
    return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
    sim::Machine &m = sim::called("DeleteFileA");
    std::string p = m.program_view(path ? path : "");
    sim::Node *parent = nullptr;
    sim::Node *n = m.resolve(p, &parent, nullptr);
    if (!n || n->is_dir || !parent) {
        // A missing folder on the way is a missing path, not a missing file.
        m.last_error = n ? ERROR_ACCESS_DENIED : parent && parent->is_dir ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        return FALSE;
    }
    if (n->attributes & FILE_ATTRIBUTE_READONLY) {
        m.last_error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (n->locked || n->open_fds > 0 || m.holds_file(p) || m.should_fail("DeleteFileA")) {
        m.last_error = ERROR_SHARING_VIOLATION;
        return FALSE;
    }
    parent->remove_child(n);
    return TRUE;
}

int _access(const char *path, int mode) {
    sim::Machine &m = sim::called("_access");
    sim::Node *n = m.find(m.program_view(path ? path : ""));
    if (!n || m.should_fail("_access")) return -1;
    if ((mode & 2) && (n->attributes & FILE_ATTRIBUTE_READONLY)) return -1;
    return 0;
}

int _open(const char *path, int flags, int) {
    sim::Machine &m = sim::called("_open");
    m.opened.push_back(path ? path : "");
    if (m.on_open) m.on_open(path ? path : "");
    if (m.should_fail("_open")) return -1;
    std::string p = m.program_view(path ? path : "");
    sim::Node *n = m.find(p);
    bool writing = (flags & (_O_WRONLY | _O_RDWR)) != 0;
    if (!n && writing && (flags & _O_CREAT)) {
        sim::Node *parent = nullptr;
        std::string leaf;
        m.resolve(p, &parent, &leaf);
        if (!parent || !parent->is_dir) return -1;
        n = m.add_file(p, std::string());
    }
    if (!n || n->is_dir || n->unreadable) return -1;
    if (writing && (n->attributes & FILE_ATTRIBUTE_READONLY)) return -1;
    if (writing && (flags & _O_TRUNC)) n->data.clear();
    int fd = m.next_fd++;
    sim::Machine::Fd f;
    f.node = n;
    f.writable = writing;
    f.pos = (flags & _O_APPEND) ? (long)n->data.size() : 0;
    m.fds[fd] = f;
    ++n->open_fds;
    ++m.open_fds_count;
    return fd;
}

int _read(int fd, void *buffer, unsigned int count) {
    sim::Machine &m = sim::called("_read");
    auto it = m.fds.find(fd);
    if (it == m.fds.end() || m.should_fail("_read")) return -1;
    sim::Machine::Fd &f = it->second;
    if (m.on_read) m.on_read(f.node);
    long size = (long)f.node->data.size();
    if (f.pos >= size) return 0;
    long n = size - f.pos;
    if (n > (long)count) n = (long)count;
    if (m.should_fail("_read_short") && n > 1) n /= 2;
    std::memcpy(buffer, f.node->data.data() + f.pos, (size_t)n);
    f.pos += n;
    return (int)n;
}

long _lseek(int fd, long offset, int origin) {
    sim::Machine &m = sim::called("_lseek");
    auto it = m.fds.find(fd);
    if (it == m.fds.end() || m.should_fail("_lseek")) return -1;
    sim::Machine::Fd &f = it->second;
    long base = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? f.pos : (long)f.node->data.size();
    long pos = base + offset;
    if (pos < 0) return -1;
    f.pos = pos;
    return pos;
}

long _filelength(int fd) {
    sim::Machine &m = sim::called("_filelength");
    auto it = m.fds.find(fd);
    if (it == m.fds.end() || m.should_fail("_filelength")) return -1;
    return (long)it->second.node->data.size();
}

// The handle of an open fd: a number of its own, mapped back below.
enum : intptr_t { fd_handle_base = 0x40000000 };

intptr_t _get_osfhandle(int fd) {
    sim::Machine &m = sim::called("_get_osfhandle");
    return m.fds.count(fd) ? fd_handle_base + fd : -1;
}

// A file's identity is its node: every path to it (through links too) gives
// the same index.
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *information) {
    sim::Machine &m = sim::called("GetFileInformationByHandle");
    auto it = m.fds.find((int)((intptr_t)file - fd_handle_base));
    if (it == m.fds.end() || !information || m.should_fail("GetFileInformationByHandle")) return FALSE;
    std::memset(information, 0, sizeof *information);
    uint64_t index = (uint64_t)(uintptr_t)it->second.node;
    information->dwVolumeSerialNumber = 0x51D0C0DE;
    information->nFileIndexHigh = (DWORD)(index >> 32);
    information->nFileIndexLow = (DWORD)index;
    information->nFileSizeLow = (DWORD)it->second.node->data.size();
    information->nNumberOfLinks = 1;
    return TRUE;
}

int _close(int fd) {
    sim::Machine &m = sim::called("_close");
    auto it = m.fds.find(fd);
    if (it == m.fds.end()) return -1;
    --it->second.node->open_fds;
    --m.open_fds_count;
    m.fds.erase(it);
    return 0;
}

BOOL CopyFileA(LPCSTR existing, LPCSTR target, BOOL fail_if_exists) {
    sim::Machine &m = sim::called("CopyFileA");
    std::string from = m.program_view(existing ? existing : ""), to = m.program_view(target ? target : "");
    sim::Node *src = m.find(from);
    if (!src || src->is_dir || m.should_fail("CopyFileA")) {
        m.last_error = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    sim::Node *parent = nullptr;
    std::string leaf;
    sim::Node *dst = m.resolve(to, &parent, &leaf);
    if (dst && (fail_if_exists || (dst->attributes & FILE_ATTRIBUTE_READONLY) || dst->open_fds)) {
        m.last_error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (!dst && (!parent || !parent->is_dir)) {
        m.last_error = ERROR_PATH_NOT_FOUND;
        return FALSE;
    }
    std::string data = src->data;
    m.add_file(to, data, src->attributes);
    return TRUE;
}

BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags) {
    sim::Machine &m = sim::called("MoveFileExA");
    if (m.should_fail("MoveFileExA") || target || !(flags & MOVEFILE_DELAY_UNTIL_REBOOT)) {
        m.last_error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    m.pending_deletes.push_back(existing ? existing : "");
    return TRUE;
}

DWORD GetShortPathNameA(LPCSTR long_path, LPSTR short_path, DWORD size) {
    sim::Machine &m = sim::called("GetShortPathNameA");
    std::string p = m.in_current_dir(long_path ? long_path : "");
    std::string view = m.program_view(p);
    sim::Node *n = m.find(view);
    if (!n || m.should_fail("GetShortPathNameA")) {
        m.last_error = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    std::vector<std::string> parts;
    for (sim::Node *at = n; at->parent; at = at->parent)
        parts.insert(parts.begin(), at->short_name.empty() ? at->name : at->short_name);
    std::string out = p.substr(0, 2);
    for (const std::string &part : parts) out += "\\" + part;
    // A redirected path keeps the folder it was given in.
    size_t wow = m.wow64_system_dir.size();
    if (view != p && out.size() > wow && sim::iequals(out.substr(0, wow), m.wow64_system_dir))
        out = m.system_dir + out.substr(wow);
    return sim::give_text(out, short_path, size);
}

int _write(int fd, const void *buffer, unsigned int count) {
    sim::Machine &m = sim::called("_write");
    auto it = m.fds.find(fd);
    if (it == m.fds.end() || !it->second.writable || m.should_fail("_write")) return -1;
    unsigned n = count;
    if (m.should_fail("_write_short")) n = count / 2;
    sim::Machine::Fd &f = it->second;
    std::string &d = f.node->data;
    if ((size_t)f.pos > d.size()) d.resize((size_t)f.pos, '\0');
    d.replace((size_t)f.pos, std::min((size_t)n, d.size() - (size_t)f.pos), (const char *)buffer, n);
    f.pos += n;
    return (int)n;
}

}  // namespace os
