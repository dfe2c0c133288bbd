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

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : s) {
        if (c == sep) {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
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
    if (!node->is_dir) d.nFileSizeLow = (DWORD)node->data.size();
    std::strncpy(d.cFileName, name.c_str(), MAX_PATH - 1);
    return d;
}
}  // namespace

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

bool Machine::should_fail(const char *call) {
    auto it = fail_calls.find(call);
    if (it == fail_calls.end() || it->second <= 0) return false;
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
        Node *next = nullptr;
        if (cur->is_dir)
            for (auto &c : cur->children)
                if (iequals(c->name, parts[i])) next = c.get();
        if (!next) return nullptr;
        cur = next;
    }
    return cur;
}

Node *Machine::find(const std::string &path) { return resolve(path, nullptr, nullptr); }

Node *Machine::add_dir(const std::string &path, DWORD attributes) {
    Drive &d = drives[lower(path[0]) - 'a'];
    if (!d.root) add_drive(path[0], DRIVE_FIXED);
    Node *cur = d.root.get();
    for (const std::string &part : split(path.substr(2), '\\')) {
        Node *next = nullptr;
        for (auto &c : cur->children)
            if (iequals(c->name, part)) next = c.get();
        if (!next) {
            cur->children.emplace_back(new Node());
            next = cur->children.back().get();
            next->name = part;
            next->is_dir = true;
            next->attributes = FILE_ATTRIBUTE_DIRECTORY;
            next->parent = cur;
        }
        cur = next;
    }
    cur->attributes = attributes | FILE_ATTRIBUTE_DIRECTORY;
    return cur;
}

Node *Machine::add_file(const std::string &path, const std::string &data, DWORD attributes) {
    size_t slash = path.rfind('\\');
    Node *dir = add_dir(path.substr(0, slash));
    std::string name = path.substr(slash + 1);
    for (auto &c : dir->children)
        if (iequals(c->name, name)) {
            c->data = data;
            c->attributes = attributes;
            return c.get();
        }
    dir->children.emplace_back(new Node());
    Node *n = dir->children.back().get();
    n->name = name;
    n->data = data;
    n->attributes = attributes;
    n->parent = dir;
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
    size_t slash = p.rfind('\\');
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
        m.last_error = n ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    if (n->attributes & FILE_ATTRIBUTE_READONLY) {
        m.last_error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (n->locked || n->open_fds > 0 || m.should_fail("DeleteFileA")) {
        m.last_error = ERROR_SHARING_VIOLATION;
        return FALSE;
    }
    for (auto it = parent->children.begin(); it != parent->children.end(); ++it)
        if (it->get() == n) {
            parent->children.erase(it);
            break;
        }
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

static sim::RegKey *open_key(HKEY key) {
    sim::Machine &m = machine();
    if (m.reg_root(key)) return m.reg_root(key);
    auto it = m.open_key_paths.find(key);
    return it == m.open_key_paths.end() ? nullptr : m.reg_resolve(it->second, false);
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    sim::Machine &m = machine();
    ++m.calls["RegQueryValueExA"];
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
            k->values.erase(it);
            return ERROR_SUCCESS;
        }
    return ERROR_FILE_NOT_FOUND;
}

LONG RegDeleteKeyA(HKEY key, LPCSTR sub_key) {
    sim::Machine &m = machine();
    ++m.calls["RegDeleteKeyA"];
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
            parent->subkeys.erase(it);
            return ERROR_SUCCESS;
        }
    return ERROR_FILE_NOT_FOUND;
}

LONG RegCloseKey(HKEY key) {
    sim::Machine &m = machine();
    ++m.calls["RegCloseKey"];
    if (m.reg_root(key)) return ERROR_SUCCESS;
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
