// The simulated machine's state and the host implementation of every os::
// call over it. Behaviour follows the Windows API where the engine depends on
// it: case-insensitive paths, "." and ".." in every directory but a drive
// root, wildcard rules of FindFirstFileA, read-only files that refuse
// deletion, files that cannot be deleted while open.
#include "platform/sim/machine.h"

#include <cctype>
#include <cstring>

namespace sim {

namespace {
std::unique_ptr<Machine> g_machine;

char lower(char c) { return (char)std::tolower((unsigned char)c); }

// Splits at every sep that is a character of its own (never the second byte
// of a double-byte character).
std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> parts;
    std::string cur;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (machine().lead_byte((unsigned char)c) && i + 1 < s.size()) {
            cur += c;
            cur += s[++i];
        } else if (c == sep) {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

// The position of the last backslash that is a character of its own.
size_t last_slash(const std::string &s) {
    size_t found = std::string::npos;
    for (size_t i = 0; i < s.size(); ++i) {
        if (machine().lead_byte((unsigned char)s[i]) && i + 1 < s.size()) ++i;
        else if (s[i] == '\\') found = i;
    }
    return found;
}

bool glob(const char *p, const char *n) {
    for (;;) {
        if (*p == 0) return *n == 0;
        if (*p == '*') {
            while (*p == '*') ++p;
            if (*p == 0) return true;
            for (const char *t = n; *t; ++t)
                if (glob(p, t)) return true;
            return glob(p, n + std::strlen(n));
        }
        if (*n == 0) return false;
        if (*p != '?' && lower(*p) != lower(*n)) return false;
        ++p;
        ++n;
    }
}

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

std::string folded(const std::string &s) {
    std::string out = s;
    for (size_t i = 0; i < out.size(); ++i)
        if (machine().lead_byte((unsigned char)out[i]) && i + 1 < out.size()) ++i;  // a second byte keeps its case
        else out[i] = lower(out[i]);
    return out;
}

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

bool iequals(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// "*.*" matches every name, and a trailing ".*" also matches a name without
// an extension, as on Windows.
bool wildcard_match(const std::string &pattern, const std::string &name) {
    if (glob(pattern.c_str(), name.c_str())) return true;
    if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0 &&
        name.find('.') == std::string::npos)
        return glob(pattern.substr(0, pattern.size() - 2).c_str(), name.c_str());
    return false;
}

Machine &machine() {
    if (!g_machine) g_machine.reset(new Machine());
    return *g_machine;
}

void reset() { g_machine.reset(new Machine()); }

Machine::Machine() {
    for (auto &r : reg_roots) r.reset(new RegKey());
}

bool Machine::lead_byte(unsigned char c) const {
    return ansi_code_page == 932 && ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC));
}

bool Machine::should_fail(const char *call) {
    auto it = fail_calls.find(call);
    if (it == fail_calls.end() || it->second <= 0) return false;
    auto wait = fail_after.find(call);
    if (wait != fail_after.end() && wait->second > 0) {
        --wait->second;
        return false;
    }
    --it->second;
    return true;
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

// --- Registry ---

RegKey *Machine::reg_root(HKEY root) {
    uintptr_t v = (uintptr_t)root;
    if (v < 0x80000000u || v > 0x80000004u) return nullptr;
    return reg_roots[v - 0x80000000u].get();
}

// A full key path is "<root index>\sub\key".
RegKey *Machine::reg_resolve(const std::string &full, bool create) {
    std::vector<std::string> parts = split(full, '\\');
    if (parts.empty()) return nullptr;
    int idx = parts[0][0] - '0';
    if (idx < 0 || idx > 4) return nullptr;
    RegKey *cur = reg_roots[idx].get();
    if (idx == 2 && parts.size() > 2 && iequals(parts[1], "SYSTEM") && iequals(parts[2], "CurrentControlSet"))
        parts[2] = "ControlSet00" + std::to_string(current_control_set);
    for (size_t i = 1; i < parts.size(); ++i) {
        RegKey *next = nullptr;
        for (auto &k : cur->subkeys)
            if (iequals(k->name, parts[i])) next = k.get();
        if (!next) {
            if (!create) return nullptr;
            cur->subkeys.emplace_back(new RegKey());
            next = cur->subkeys.back().get();
            next->name = parts[i];
        }
        cur = next;
    }
    return cur;
}

static std::string root_prefix(HKEY root) {
    return std::string(1, (char)('0' + ((uintptr_t)root - 0x80000000u)));
}

RegKey *Machine::reg_key(HKEY root, const std::string &path, bool create) {
    if (!reg_root(root)) return nullptr;
    return reg_resolve(root_prefix(root) + "\\" + path, create);
}

void Machine::reg_set_raw(HKEY root, const std::string &path, const std::string &name,
                          const std::string &bytes, DWORD type) {
    RegKey *k = reg_key(root, path, true);
    for (auto &v : k->values)
        if (iequals(v.name, name)) {
            v.type = type;
            v.data = bytes;
            return;
        }
    k->values.push_back(RegValue{name, type, bytes});
}

void Machine::reg_set(HKEY root, const std::string &path, const std::string &name,
                      const std::string &text, DWORD type) {
    reg_set_raw(root, path, name, text + std::string(1, '\0'), type);
}

bool Machine::reg_has_key(HKEY root, const std::string &path) {
    return reg_key(root, path, false) != nullptr;
}

bool Machine::reg_has_value(HKEY root, const std::string &path, const std::string &name) {
    RegKey *k = reg_key(root, path, false);
    if (!k) return false;
    for (auto &v : k->values)
        if (iequals(v.name, name)) return true;
    return false;
}

std::string Machine::reg_text(HKEY root, const std::string &path, const std::string &name) {
    RegKey *k = reg_key(root, path, false);
    if (k)
        for (auto &v : k->values)
            if (iequals(v.name, name)) return std::string(v.data.c_str());
    return std::string();
}

// --- Windows ---

HWND Machine::create_window(WindowProc proc) {
    HWND h = (HWND)(next_handle += 4);
    windows[h] = proc;
    return h;
}

void Machine::post_message(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    MSG m;
    std::memset(&m, 0, sizeof m);
    m.hwnd = hwnd;
    m.message = msg;
    m.wParam = wparam;
    m.lParam = lparam;
    queue.push_back(m);
}

}  // namespace sim

// ---------------------------------------------------------------------------
// os:: over the simulated machine

using sim::machine;

namespace os {

UINT GetDriveTypeA(LPCSTR root) {
    sim::Machine &m = machine();
    ++m.calls["GetDriveTypeA"];
    if (!root || !std::isalpha((unsigned char)root[0]) || root[1] != ':') return DRIVE_NO_ROOT_DIR;
    const sim::Machine::Drive &d = m.drives[std::tolower((unsigned char)root[0]) - 'a'];
    return d.root ? d.type : DRIVE_NO_ROOT_DIR;
}

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA *data) {
    sim::Machine &m = machine();
    ++m.calls["FindFirstFileA"];
    std::string p = pattern ? pattern : "";
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
    sim::Machine &m = machine();
    ++m.calls["FindNextFileA"];
    auto it = m.finds.find(find);
    if (it == m.finds.end()) {
        m.last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (it->second.next >= it->second.entries.size()) {
        m.last_error = ERROR_NO_MORE_FILES;
        return FALSE;
    }
    *data = it->second.entries[it->second.next++];
    m.clock_ms += m.entry_ms;
    return TRUE;
}

BOOL FindClose(HANDLE find) {
    sim::Machine &m = machine();
    ++m.calls["FindClose"];
    if (!m.finds.erase(find)) return FALSE;
    --m.open_find_handles;
    return TRUE;
}

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
    sim::Machine &m = machine();
    ++m.calls["SetFileAttributesA"];
    sim::Node *n = m.find(path);
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
    sim::Machine &m = machine();
    ++m.calls["DeleteFileA"];
    sim::Node *parent = nullptr;
    sim::Node *n = m.resolve(path ? path : "", &parent, nullptr);
    if (!n || n->is_dir || !parent) {
        // A missing folder on the way is a missing path, not a missing file.
        m.last_error = n ? ERROR_ACCESS_DENIED : parent && parent->is_dir ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        return FALSE;
    }
    if (n->attributes & FILE_ATTRIBUTE_READONLY) {
        m.last_error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (n->locked || n->open_fds > 0 || m.holds_file(path) || m.should_fail("DeleteFileA")) {
        m.last_error = ERROR_SHARING_VIOLATION;
        return FALSE;
    }
    parent->remove_child(n);
    return TRUE;
}

DWORD GetLastError() { return machine().last_error; }

int _access(const char *path, int mode) {
    sim::Machine &m = machine();
    ++m.calls["_access"];
    sim::Node *n = m.find(path ? path : "");
    if (!n) return -1;
    if ((mode & 2) && (n->attributes & FILE_ATTRIBUTE_READONLY)) return -1;
    return 0;
}

int _open(const char *path, int flags, int) {
    sim::Machine &m = machine();
    ++m.calls["_open"];
    m.opened.push_back(path ? path : "");
    if (m.on_open) m.on_open(path ? path : "");
    if (m.should_fail("_open")) return -1;
    std::string p = path ? path : "";
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
    sim::Machine &m = machine();
    ++m.calls["_read"];
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
    sim::Machine &m = machine();
    ++m.calls["_lseek"];
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
    sim::Machine &m = machine();
    ++m.calls["_filelength"];
    auto it = m.fds.find(fd);
    if (it == m.fds.end() || m.should_fail("_filelength")) return -1;
    return (long)it->second.node->data.size();
}

int _close(int fd) {
    sim::Machine &m = machine();
    ++m.calls["_close"];
    auto it = m.fds.find(fd);
    if (it == m.fds.end()) return -1;
    --it->second.node->open_fds;
    --m.open_fds_count;
    m.fds.erase(it);
    return 0;
}

int _stricmp(const char *a, const char *b) {
    for (;; ++a, ++b) {
        int ca = std::tolower((unsigned char)*a), cb = std::tolower((unsigned char)*b);
        if (ca != cb || ca == 0) return ca - cb;
    }
}

int _strnicmp(const char *a, const char *b, size_t n) {
    for (; n; --n, ++a, ++b) {
        int ca = std::tolower((unsigned char)*a), cb = std::tolower((unsigned char)*b);
        if (ca != cb || ca == 0) return ca - cb;
    }
    return 0;
}

char *_strlwr(char *s) {
    for (char *p = s; *p; ++p) *p = (char)std::tolower((unsigned char)*p);
    return s;
}

char *_strupr(char *s) {
    for (char *p = s; *p; ++p) *p = (char)std::toupper((unsigned char)*p);
    return s;
}

// --- Registry ---

LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD, REGSAM, PHKEY result) {
    sim::Machine &m = machine();
    ++m.calls["RegOpenKeyExA"];
    std::string base;
    if (m.reg_root(key))
        base = sim::root_prefix(key);
    else if (m.open_key_paths.count(key))
        base = m.open_key_paths[key];
    else
        return ERROR_INVALID_HANDLE;
    std::string full = base + (sub_key && *sub_key ? std::string("\\") + sub_key : std::string());
    if (m.should_fail("RegOpenKeyExA")) return ERROR_ACCESS_DENIED;
    if (!m.reg_resolve(full, false)) return ERROR_FILE_NOT_FOUND;
    HKEY h = (HKEY)(m.next_handle += 4);
    m.open_key_paths[h] = full;
    ++m.open_keys;
    *result = h;
    return ERROR_SUCCESS;
}

// Notes a change to the key at full path while an enumerated handle to it is open.
static void note_change(const sim::RegKey *changed) {
    sim::Machine &m = machine();
    for (HKEY h : m.enumerated_keys) {
        auto it = m.open_key_paths.find(h);
        if (it != m.open_key_paths.end() && m.reg_resolve(it->second, false) == changed) m.deleted_while_enumerating = true;
    }
}

static sim::RegKey *open_key(HKEY key) {
    sim::Machine &m = machine();
    if (m.reg_root(key)) return m.reg_root(key);
    auto it = m.open_key_paths.find(key);
    return it == m.open_key_paths.end() ? nullptr : m.reg_resolve(it->second, false);
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    sim::Machine &m = machine();
    ++m.calls["RegQueryValueExA"];
    if (key == HKEY_PERFORMANCE_DATA) {
        m.perf_query_sizes.push_back(size ? *size : 0);
        if (m.should_fail("perf_query")) return ERROR_ACCESS_DENIED;
        if (!name || std::to_string(m.perf_process_index) != name) return ERROR_FILE_NOT_FOUND;
        std::string block = m.perf_block();
        if (type) *type = REG_BINARY;
        if (!size || !data) return ERROR_INVALID_PARAMETER;
        if (*size < block.size()) return ERROR_MORE_DATA;  // size left as it was, as on NT
        std::memcpy(data, block.data(), block.size());
        *size = (DWORD)block.size();
        return ERROR_SUCCESS;
    }
    sim::RegKey *k = open_key(key);
    if (!k) return ERROR_INVALID_HANDLE;
    if (m.should_fail("RegQueryValueExA")) return ERROR_ACCESS_DENIED;
    for (auto &v : k->values)
        if (sim::iequals(v.name, name ? name : "")) {
            if (type) *type = v.type;
            DWORD need = (DWORD)v.data.size();
            if (data) {
                if (!size) return ERROR_INVALID_PARAMETER;
                if (*size < need) {
                    *size = need;
                    return ERROR_MORE_DATA;
                }
                std::memcpy(data, v.data.data(), need);
            }
            if (size) *size = need;
            return ERROR_SUCCESS;
        }
    return ERROR_FILE_NOT_FOUND;
}

LONG RegDeleteValueA(HKEY key, LPCSTR name) {
    sim::Machine &m = machine();
    ++m.calls["RegDeleteValueA"];
    sim::RegKey *k = open_key(key);
    if (!k) return ERROR_INVALID_HANDLE;
    if (m.should_fail("RegDeleteValueA")) return ERROR_ACCESS_DENIED;
    for (auto it = k->values.begin(); it != k->values.end(); ++it)
        if (sim::iequals(it->name, name ? name : "")) {
            note_change(k);
            k->values.erase(it);
            return ERROR_SUCCESS;
        }
    return ERROR_FILE_NOT_FOUND;
}

LONG RegDeleteKeyA(HKEY key, LPCSTR sub_key) {
    sim::Machine &m = machine();
    ++m.calls["RegDeleteKeyA"];
    if (sub_key) m.deleted_keys.push_back(sub_key);
    sim::RegKey *k = open_key(key);
    if (!k || !sub_key) return ERROR_INVALID_HANDLE;
    if (m.should_fail("RegDeleteKeyA")) return ERROR_ACCESS_DENIED;
    std::vector<std::string> parts = sim::split(sub_key, '\\');
    sim::RegKey *parent = k;
    for (size_t i = 0; i + 1 < parts.size() && parent; ++i) {
        sim::RegKey *next = nullptr;
        for (auto &s : parent->subkeys)
            if (sim::iequals(s->name, parts[i])) next = s.get();
        parent = next;
    }
    if (!parent || parts.empty()) return ERROR_FILE_NOT_FOUND;
    for (auto it = parent->subkeys.begin(); it != parent->subkeys.end(); ++it)
        if (sim::iequals((*it)->name, parts.back())) {
            if (!(*it)->subkeys.empty()) return ERROR_ACCESS_DENIED;  // NT: no subtree delete
            note_change(parent);
            parent->subkeys.erase(it);
            return ERROR_SUCCESS;
        }
    return ERROR_FILE_NOT_FOUND;
}

LONG RegCloseKey(HKEY key) {
    sim::Machine &m = machine();
    ++m.calls["RegCloseKey"];
    if (m.reg_root(key)) return ERROR_SUCCESS;
    m.enumerated_keys.erase(key);
    if (!m.open_key_paths.erase(key)) return ERROR_INVALID_HANDLE;
    --m.open_keys;
    return ERROR_SUCCESS;
}

// --- Messages ---

BOOL PeekMessageA(LPMSG msg, HWND, UINT, UINT, UINT remove) {
    sim::Machine &m = machine();
    ++m.calls["PeekMessageA"];
    if (m.queue.empty()) return FALSE;
    *msg = m.queue.front();
    if (remove & PM_REMOVE) m.queue.pop_front();
    return TRUE;
}

BOOL TranslateMessage(const MSG *) {
    ++machine().calls["TranslateMessage"];
    return FALSE;
}

LRESULT DispatchMessageA(const MSG *msg) {
    sim::Machine &m = machine();
    ++m.calls["DispatchMessageA"];
    auto it = m.windows.find(msg->hwnd);
    if (it == m.windows.end()) return 0;
    sim::WindowProc proc = it->second;
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    sim::Machine &m = machine();
    ++m.calls["SendMessageA"];
    auto it = m.windows.find(hwnd);
    if (it == m.windows.end()) return 0;
    sim::WindowProc proc = it->second;
    return proc(hwnd, msg, wparam, lparam);
}

void Sleep(DWORD milliseconds) {
    sim::Machine &m = machine();
    ++m.calls["Sleep"];
    m.slept_ms += milliseconds;
    m.clock_ms += milliseconds;
}

DWORD GetTickCount() {
    sim::Machine &m = machine();
    ++m.calls["GetTickCount"];
    return m.clock_ms;
}

}  // namespace os

int ConfirmBox(const char *text, const char *caption, UINT style) {
    sim::Machine &m = machine();
    ++m.calls["ConfirmBox"];
    m.confirm_calls.push_back(sim::ConfirmCall{text ? text : "", caption ? caption : "", style});
    if (!m.confirm_answers.empty()) {
        int a = m.confirm_answers.front();
        m.confirm_answers.pop_front();
        return a;
    }
    return m.default_answer;
}

// ---------------------------------------------------------------------------
// Processes, libraries, tokens, performance data

namespace sim {

namespace {

std::string base_name(const std::string &image) {
    size_t slash = image.rfind('\\');
    std::string name = slash == std::string::npos ? image : image.substr(slash + 1);
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

void put32(std::string &d, size_t at, uint32_t v) {
    if (d.size() < at + 4) d.resize(at + 4, '\0');
    for (int i = 0; i < 4; ++i) d[at + i] = (char)(v >> (8 * i));
}

HANDLE new_handle(Machine &m, Machine::Handle h) {
    HANDLE handle = (HANDLE)(m.next_handle += 4);
    m.handles[handle] = h;
    ++m.open_handles;
    return handle;
}
}  // namespace

Process &Machine::add_process(DWORD pid, const std::string &image) {
    Process p;
    p.pid = pid;
    p.image = image;
    processes.push_back(p);
    return processes.back();
}

// A running process holds its id; an ended one keeps it only until a new
// process is given the same id.
Process *Machine::process(DWORD pid) {
    Process *ended = nullptr;
    for (Process &p : processes)
        if (p.pid == pid) {
            if (p.running) return &p;
            if (!ended) ended = &p;
        }
    return ended;
}

bool Machine::holds_file(const std::string &path) {
    for (Process &p : processes) {
        if (!p.running) continue;
        if (iequals(p.image, path)) return true;
        for (const std::string &h : p.holds)
            if (iequals(h, path)) return true;
    }
    return false;
}

void Machine::install_perflib(int process_index, int id_process_index) {
    perf_process_index = process_index;
    perf_id_process_index = id_process_index;
    std::string list;
    auto add = [&](int index, const char *name) {
        list += std::to_string(index);
        list += '\0';
        list += name;
        list += '\0';
    };
    add(1, "1847");
    add(2, "System");
    add(6, "% Processor Time");
    add(process_index, "Process");
    add(id_process_index, "ID Process");
    list += '\0';
    reg_set_raw(HKEY_LOCAL_MACHINE, "software\\microsoft\\windows nt\\currentversion\\perflib\\009",
                "Counters", list, REG_MULTI_SZ);
}

std::string Machine::perf_block() {
    if (perf_block_given) return perf_block_supplied;
    std::vector<std::pair<std::string, DWORD>> instances;
    instances.push_back({"Idle", 0});
    for (Process &p : processes)
        if (p.running) instances.push_back({p.perf_name.empty() ? base_name(p.image) : p.perf_name, p.pid});
    instances.push_back({"_Total", 0});

    std::string d(88, '\0');
    const char sig[] = {'P', 0, 'E', 0, 'R', 0, 'F', 0};
    std::memcpy(&d[0], sig, 8);
    put32(d, 8, 1);
    put32(d, 12, 1);
    put32(d, 16, 1);
    put32(d, 24, 88);  // HeaderLength
    put32(d, 28, 1);   // NumObjectTypes
    size_t object = d.size();
    d.resize(object + 64 + 2 * 40, '\0');
    put32(d, object + 4, 64 + 2 * 40);  // DefinitionLength
    put32(d, object + 8, 64);           // HeaderLength
    put32(d, object + 12, (uint32_t)perf_process_index);
    put32(d, object + 32, 2);  // NumCounters
    put32(d, object + 40, (uint32_t)instances.size());
    size_t def = object + 64;
    put32(d, def + 0, 40);
    put32(d, def + 4, 6);   // % Processor Time
    put32(d, def + 32, 8);
    put32(d, def + 36, 8);
    put32(d, def + 40 + 0, 40);
    put32(d, def + 40 + 4, (uint32_t)perf_id_process_index);
    put32(d, def + 40 + 32, 4);
    put32(d, def + 40 + 36, 16);
    for (auto &inst : instances) {
        size_t at = d.size();
        size_t name_bytes = (inst.first.size() + 1) * 2;
        size_t length = (24 + name_bytes + 7) & ~(size_t)7;
        d.resize(at + length + 24, '\0');
        put32(d, at + 0, (uint32_t)length);
        put32(d, at + 16, 24);  // NameOffset
        put32(d, at + 20, (uint32_t)name_bytes);
        for (size_t i = 0; i < inst.first.size(); ++i) d[at + 24 + 2 * i] = inst.first[i];
        put32(d, at + length + 0, 24);  // counter block ByteLength
        put32(d, at + length + 16, inst.second);
    }
    put32(d, object + 0, (uint32_t)(d.size() - object));
    put32(d, 20, (uint32_t)d.size());
    return d;
}

// The functions found through GetProcAddress.
namespace api {

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD) {
    Machine &m = machine();
    ++m.calls["CreateToolhelp32Snapshot"];
    if (!(flags & TH32CS_SNAPPROCESS) || m.should_fail("CreateToolhelp32Snapshot")) return INVALID_HANDLE_VALUE;
    Machine::Handle h;
    h.kind = 2;
    for (Process &p : m.processes) {
        if (!p.running) continue;
        PROCESSENTRY32 e;
        std::memset(&e, 0, sizeof e);
        e.dwSize = sizeof e;
        e.th32ProcessID = p.pid;
        std::strncpy(e.szExeFile, (p.snapshot_name.empty() ? p.image : p.snapshot_name).c_str(), MAX_PATH - 1);
        h.entries.push_back(e);
    }
    return new_handle(m, h);
}

BOOL WINAPI Process32First(HANDLE snapshot, PROCESSENTRY32 *entry) {
    Machine &m = machine();
    ++m.calls["Process32First"];
    auto it = m.handles.find(snapshot);
    if (it == m.handles.end() || it->second.kind != 2 || entry->dwSize != sizeof(PROCESSENTRY32) ||
        it->second.entries.empty())
        return FALSE;
    *entry = it->second.entries[0];
    it->second.next = 1;
    return TRUE;
}

BOOL WINAPI Process32Next(HANDLE snapshot, PROCESSENTRY32 *entry) {
    Machine &m = machine();
    ++m.calls["Process32Next"];
    auto it = m.handles.find(snapshot);
    if (it == m.handles.end() || it->second.kind != 2 || it->second.next >= it->second.entries.size())
        return FALSE;
    *entry = it->second.entries[it->second.next++];
    return TRUE;
}

BOOL WINAPI EnumProcesses(DWORD *ids, DWORD bytes, DWORD *returned) {
    Machine &m = machine();
    ++m.calls["EnumProcesses"];
    DWORD n = 0;
    for (Process &p : m.processes)
        if (p.running && (n + 1) * 4 <= bytes) ids[n++] = p.pid;
    *returned = n * 4;
    return TRUE;
}

DWORD WINAPI GetModuleFileNameExA(HANDLE process, HMODULE, LPSTR name, DWORD size) {
    Machine &m = machine();
    ++m.calls["GetModuleFileNameExA"];
    auto it = m.handles.find(process);
    if (it == m.handles.end() || it->second.kind != 1 || size == 0) return 0;
    if ((it->second.access & (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ)) !=
        (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ))
        return 0;
    Process *p = m.process(it->second.pid);
    if (!p || !p->running || p->hides_module) return 0;
    std::string image = (p->module_name.empty() ? p->image : p->module_name).substr(0, size - 1);
    std::memcpy(name, image.c_str(), image.size() + 1);
    return (DWORD)image.size();
}

}  // namespace api
}  // namespace sim

namespace os {

BOOL GetVersionExA(OSVERSIONINFOA *info) {
    sim::Machine &m = machine();
    ++m.calls["GetVersionExA"];
    if (m.version.query_fails || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return FALSE;
    info->dwPlatformId = m.version.platform_id;
    info->dwMajorVersion = m.version.major;
    info->dwMinorVersion = m.version.minor;
    return TRUE;
}

HMODULE LoadLibraryA(LPCSTR name) {
    sim::Machine &m = machine();
    ++m.calls["LoadLibraryA"];
    std::string n = sim::folded(name ? name : "");
    if (m.missing_libraries.count(n)) return nullptr;
    if (n == "kernel32.dll") return (HMODULE)(uintptr_t)0x10000;
    if (n == "psapi.dll") return (HMODULE)(uintptr_t)0x20000;
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    sim::Machine &m = machine();
    ++m.calls["GetProcAddress"];
    std::string n = name ? name : "";
    if (m.missing_functions.count(n)) return nullptr;
    void *f = nullptr;
    if (module == (HMODULE)(uintptr_t)0x10000) {
        if (n == "CreateToolhelp32Snapshot") f = (void *)&sim::api::CreateToolhelp32Snapshot;
        if (n == "Process32First") f = (void *)&sim::api::Process32First;
        if (n == "Process32Next") f = (void *)&sim::api::Process32Next;
    } else if (module == (HMODULE)(uintptr_t)0x20000) {
        if (n == "EnumProcesses") f = (void *)&sim::api::EnumProcesses;
        if (n == "GetModuleFileNameExA") f = (void *)&sim::api::GetModuleFileNameExA;
    }
    return reinterpret_cast<FARPROC>(f);
}

BOOL FreeLibrary(HMODULE) { return TRUE; }

HANDLE OpenProcess(DWORD access, BOOL, DWORD pid) {
    sim::Machine &m = machine();
    ++m.calls["OpenProcess"];
    sim::Process *p = m.process(pid);
    if (p && p->running && p->exits_on_its_own && (access & PROCESS_TERMINATE)) p->running = false;
    if (!p || !p->running) {
        m.last_error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    if (p->needs_debug && !m.enabled_privileges.count("SeDebugPrivilege")) {
        m.last_error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    sim::Machine::Handle h;
    h.kind = 1;
    h.pid = pid;
    h.access = access;
    return sim::new_handle(m, h);
}

BOOL TerminateProcess(HANDLE process, UINT) {
    sim::Machine &m = machine();
    ++m.calls["TerminateProcess"];
    auto it = m.handles.find(process);
    if (it == m.handles.end() || it->second.kind != 1 || !(it->second.access & PROCESS_TERMINATE)) {
        m.last_error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    sim::Process *p = m.process(it->second.pid);
    if (!p || !p->running || p->unkillable) {
        m.last_error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    p->running = false;
    m.terminated.push_back(p->pid);
    m.terminated_at.push_back(m.slept_ms);
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    sim::Machine &m = machine();
    ++m.calls["CloseHandle"];
    if (!m.handles.erase(handle)) return FALSE;
    --m.open_handles;
    return TRUE;
}

HANDLE GetCurrentProcess() { return (HANDLE)(intptr_t)-1; }

BOOL OpenProcessToken(HANDLE, DWORD, PHANDLE token) {
    sim::Machine &m = machine();
    ++m.calls["OpenProcessToken"];
    if (m.token_open_fails) {
        m.last_error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    sim::Machine::Handle h;
    h.kind = 3;
    *token = sim::new_handle(m, h);
    return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR, LPCSTR name, LUID *luid) {
    ++machine().calls["LookupPrivilegeValueA"];
    std::string n = name ? name : "";
    luid->HighPart = 0;
    luid->LowPart = n == "SeDebugPrivilege" ? 20 : n == "SeShutdownPrivilege" ? 19 : 0;
    return luid->LowPart != 0;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL, PTOKEN_PRIVILEGES state, DWORD, PTOKEN_PRIVILEGES, LPDWORD) {
    sim::Machine &m = machine();
    ++m.calls["AdjustTokenPrivileges"];
    auto it = m.handles.find(token);
    if (it == m.handles.end() || it->second.kind != 3) {
        m.last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    m.last_error = ERROR_SUCCESS;
    for (DWORD i = 0; i < state->PrivilegeCount; ++i) {
        DWORD id = state->Privileges[i].Luid.LowPart;
        std::string name = id == 20 ? "SeDebugPrivilege" : id == 19 ? "SeShutdownPrivilege" : "";
        if (name.empty() || !m.held_privileges.count(name)) {
            m.last_error = ERROR_NOT_ALL_ASSIGNED;
            continue;
        }
        if (state->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) m.enabled_privileges.insert(name);
    }
    return TRUE;
}

BOOL ExitWindowsEx(UINT flags, DWORD) {
    sim::Machine &m = machine();
    ++m.calls["ExitWindowsEx"];
    m.exit_windows_calls.push_back(flags);
    return m.exit_windows_result;
}

int WideCharToMultiByte(UINT, DWORD, LPCWCH wide, int count, LPSTR narrow, int size, LPCCH, LPBOOL) {
    sim::Machine &m = machine();
    ++m.calls["WideCharToMultiByte"];
    if (m.should_fail("WideCharToMultiByte")) return 0;
    std::string out;
    for (int i = 0; count < 0 ? true : i < count; ++i) {
        if (count < 0 && wide[i] == 0) break;
        out += wide[i] < 0x80 ? (char)wide[i] : '?';
    }
    if ((int)out.size() + 1 > size) return 0;
    std::memcpy(narrow, out.c_str(), out.size() + 1);
    return (int)out.size() + 1;
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    sim::Machine &m = machine();
    ++m.calls["MessageBoxA"];
    m.message_boxes.push_back(sim::MessageBoxCall{text ? text : "", caption ? caption : "", type});
    return IDOK;
}

void exit(int status) {
    ++machine().calls["exit"];
    throw sim::ProgramExit{status};
}

}  // namespace os

// ---------------------------------------------------------------------------
// Folders, environment, services, streams, enumeration of values

namespace sim {
Service *Machine::service(const std::string &name) {
    for (Service &s : services)
        if (iequals(s.name, name)) return &s;
    return nullptr;
}

namespace {
UINT give_text(const std::string &text, LPSTR buffer, UINT size) {
    if (text.size() + 1 > size) return (UINT)text.size() + 1;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return (UINT)text.size();
}

std::string upper_text(std::string s) {
    for (char &c : s) c = (char)std::toupper((unsigned char)c);
    return s;
}
}  // namespace
}  // namespace sim

namespace os {

BOOL CopyFileA(LPCSTR existing, LPCSTR target, BOOL fail_if_exists) {
    sim::Machine &m = machine();
    ++m.calls["CopyFileA"];
    sim::Node *src = m.find(existing ? existing : "");
    if (!src || src->is_dir || m.should_fail("CopyFileA")) {
        m.last_error = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    sim::Node *parent = nullptr;
    std::string leaf;
    sim::Node *dst = m.resolve(target ? target : "", &parent, &leaf);
    if (dst && (fail_if_exists || (dst->attributes & FILE_ATTRIBUTE_READONLY) || dst->open_fds)) {
        m.last_error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (!dst && (!parent || !parent->is_dir)) {
        m.last_error = ERROR_PATH_NOT_FOUND;
        return FALSE;
    }
    std::string data = src->data;
    m.add_file(target, data, src->attributes);
    return TRUE;
}

BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags) {
    sim::Machine &m = machine();
    ++m.calls["MoveFileExA"];
    if (m.should_fail("MoveFileExA") || target || !(flags & MOVEFILE_DELAY_UNTIL_REBOOT)) {
        m.last_error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    m.pending_deletes.push_back(existing ? existing : "");
    return TRUE;
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) { return sim::give_text(machine().windows_dir, buffer, size); }
UINT GetSystemDirectoryA(LPSTR buffer, UINT size) { return sim::give_text(machine().system_dir, buffer, size); }
DWORD GetTempPathA(DWORD size, LPSTR buffer) { return sim::give_text(machine().temp_dir, buffer, size); }

DWORD GetShortPathNameA(LPCSTR long_path, LPSTR short_path, DWORD size) {
    sim::Machine &m = machine();
    ++m.calls["GetShortPathNameA"];
    std::string p = long_path ? long_path : "";
    sim::Node *n = m.find(p);
    if (!n || m.should_fail("GetShortPathNameA")) {
        m.last_error = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    std::vector<std::string> parts;
    for (sim::Node *at = n; at->parent; at = at->parent)
        parts.insert(parts.begin(), at->short_name.empty() ? at->name : at->short_name);
    std::string out = p.substr(0, 2);
    for (const std::string &part : parts) out += "\\" + part;
    return sim::give_text(out, short_path, size);
}

DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD size) {
    sim::Machine &m = machine();
    ++m.calls["ExpandEnvironmentStringsA"];
    if (m.should_fail("ExpandEnvironmentStringsA")) return 0;
    std::string in = source ? source : "", out;
    for (size_t i = 0; i < in.size();) {
        size_t close = in[i] == '%' ? in.find('%', i + 1) : std::string::npos;
        if (close != std::string::npos) {
            auto it = m.environment.find(sim::upper_text(in.substr(i + 1, close - i - 1)));
            if (it != m.environment.end()) {
                out += it->second;
                i = close + 1;
                continue;
            }
        }
        out += in[i++];
    }
    if (out.size() + 1 <= size) std::memcpy(destination, out.c_str(), out.size() + 1);
    return (DWORD)out.size() + 1;
}

int _write(int fd, const void *buffer, unsigned int count) {
    sim::Machine &m = machine();
    ++m.calls["_write"];
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

// Streams: read-only, text mode, as with the Windows runtime: CR LF arrives
// as LF, and a Ctrl-Z byte (0x1A) ends the text.
FILE *fopen(const char *path, const char *mode) {
    sim::Machine &m = machine();
    ++m.calls["fopen"];
    sim::Node *n = m.find(path ? path : "");
    if (!n || n->is_dir || n->unreadable || std::strcmp(mode, "r") != 0 || m.should_fail("fopen")) return nullptr;
    sim::Machine::Stream s;
    for (size_t i = 0; i < n->data.size() && n->data[i] != '\x1a'; ++i)
        if (!(n->data[i] == '\r' && i + 1 < n->data.size() && n->data[i + 1] == '\n')) s.text += n->data[i];
    FILE *f = reinterpret_cast<FILE *>(m.next_handle += 4);
    m.streams[f] = s;
    ++m.open_streams;
    return f;
}

char *fgets(char *buffer, int size, FILE *stream) {
    sim::Machine &m = machine();
    auto it = m.streams.find(stream);
    if (it == m.streams.end() || size < 1) return nullptr;
    sim::Machine::Stream &s = it->second;
    if (s.pos >= s.text.size()) return nullptr;
    int n = 0;
    while (n < size - 1 && s.pos < s.text.size()) {
        char c = s.text[s.pos++];
        buffer[n++] = c;
        if (c == '\n') break;
    }
    buffer[n] = 0;
    return buffer;
}

int fclose(FILE *stream) {
    sim::Machine &m = machine();
    if (!m.streams.erase(stream)) return -1;
    --m.open_streams;
    return 0;
}

LONG RegQueryInfoKeyA(HKEY key, LPSTR, LPDWORD, LPDWORD, LPDWORD sub_keys, LPDWORD, LPDWORD, LPDWORD values,
                      LPDWORD, LPDWORD, LPDWORD, FILETIME *) {
    sim::Machine &m = machine();
    ++m.calls["RegQueryInfoKeyA"];
    sim::RegKey *k = open_key(key);
    if (!k) return ERROR_INVALID_HANDLE;
    if (sub_keys) *sub_keys = (DWORD)k->subkeys.size();
    if (values) *values = (DWORD)k->values.size();
    return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD, LPDWORD type, LPBYTE data,
                   LPDWORD data_size) {
    sim::Machine &m = machine();
    ++m.calls["RegEnumValueA"];
    sim::RegKey *k = open_key(key);
    if (!k) return ERROR_INVALID_HANDLE;
    m.enumerated_keys.insert(key);
    if (m.should_fail("RegEnumValueA")) return ERROR_ACCESS_DENIED;
    if (index >= k->values.size()) return ERROR_NO_MORE_ITEMS;
    const sim::RegValue &v = k->values[index];
    if (v.name.size() + 1 > *name_size) return ERROR_MORE_DATA;
    std::memcpy(name, v.name.c_str(), v.name.size() + 1);
    *name_size = (DWORD)v.name.size();
    if (type) *type = v.type;
    if (data && data_size) {
        if (*data_size < v.data.size()) return ERROR_MORE_DATA;
        std::memcpy(data, v.data.data(), v.data.size());
    }
    if (data_size) *data_size = (DWORD)v.data.size();
    return ERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD, LPSTR, LPDWORD, FILETIME *) {
    sim::Machine &m = machine();
    ++m.calls["RegEnumKeyExA"];
    sim::RegKey *k = open_key(key);
    if (!k) return ERROR_INVALID_HANDLE;
    m.enumerated_keys.insert(key);
    if (m.should_fail("RegEnumKeyExA")) return ERROR_ACCESS_DENIED;
    if (index >= k->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::string &n = k->subkeys[index]->name;
    if (n.size() + 1 > *name_size) return ERROR_MORE_DATA;
    std::memcpy(name, n.c_str(), n.size() + 1);
    *name_size = (DWORD)n.size();
    return ERROR_SUCCESS;
}

BOOL IsDBCSLeadByte(BYTE byte) { return machine().lead_byte(byte) ? TRUE : FALSE; }

// Code page 1252 to 850 for the letters the tests use; 932 is its own OEM
// code page.
BOOL CharToOemA(LPCSTR source, LPSTR destination) {
    sim::Machine &m = machine();
    ++m.calls["CharToOemA"];
    static const unsigned char from[] = {0xE9, 0xE8, 0xE4, 0xF6, 0xFC, 0xC4, 0xD6, 0xDC, 0xE7, 0xF1};
    static const unsigned char to[] = {0x82, 0x8A, 0x84, 0x94, 0x81, 0x8E, 0x99, 0x9A, 0x87, 0xA4};
    size_t i = 0;
    for (; source[i]; ++i) {
        unsigned char c = (unsigned char)source[i];
        if (m.ansi_code_page != 932 && c >= 0x80) {
            unsigned char mapped = '?';
            for (size_t k = 0; k < sizeof from; ++k)
                if (from[k] == c) mapped = to[k];
            c = mapped;
        }
        destination[i] = (char)c;
    }
    destination[i] = 0;
    return TRUE;
}

SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) {
    sim::Machine &m = machine();
    ++m.calls["OpenSCManagerA"];
    if (m.scm_open_fails) return nullptr;
    SC_HANDLE h = (SC_HANDLE)(m.next_handle += 4);
    m.service_handles[h] = "";
    ++m.open_service_handles;
    return h;
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD) {
    sim::Machine &m = machine();
    ++m.calls["OpenServiceA"];
    auto it = m.service_handles.find(manager);
    if (it == m.service_handles.end() || !it->second.empty() || !m.service(name ? name : "")) return nullptr;
    SC_HANDLE h = (SC_HANDLE)(m.next_handle += 4);
    m.service_handles[h] = name;
    ++m.open_service_handles;
    return h;
}

static void service_state(sim::Service *s, DWORD state) {
    s->state = state;
    if (state != SERVICE_STOPPED || !s->process_id) return;
    sim::Process *p = machine().process(s->process_id);
    if (p) p->running = false;
    auto next = machine().id_successors.find(s->process_id);
    if (next != machine().id_successors.end()) machine().add_process(s->process_id, next->second);
}

static sim::Service *service_of(SC_HANDLE h) {
    sim::Machine &m = machine();
    auto it = m.service_handles.find(h);
    return it == m.service_handles.end() || it->second.empty() ? nullptr : m.service(it->second);
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    sim::Machine &m = machine();
    ++m.calls["ControlService"];
    sim::Service *s = service_of(service);
    if (!s || control != SERVICE_CONTROL_STOP || s->refuses_stop || s->state == SERVICE_STOPPED) return FALSE;
    service_state(s, s->pending_polls == 0 ? SERVICE_STOPPED : SERVICE_STOP_PENDING);
    std::memset(status, 0, sizeof *status);
    status->dwCurrentState = s->state;
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    sim::Machine &m = machine();
    ++m.calls["QueryServiceStatus"];
    sim::Service *s = service_of(service);
    if (!s) return FALSE;
    if (s->state == SERVICE_STOP_PENDING && s->pending_polls > 0 && --s->pending_polls == 0) {
        status->dwCurrentState = SERVICE_STOP_PENDING;  // this query still says pending
        service_state(s, SERVICE_STOPPED);
        return TRUE;
    }
    status->dwCurrentState = s->state;
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    sim::Machine &m = machine();
    ++m.calls["CloseServiceHandle"];
    if (!m.service_handles.erase(handle)) return FALSE;
    --m.open_service_handles;
    return TRUE;
}

}  // namespace os
