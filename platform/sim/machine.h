// The simulated Windows machine behind the host build of os::. Tests arrange
// drives, files, registry keys and windows through this API, inject faults,
// run engine code, and then inspect what changed.
#pragma once
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/os.h"

namespace sim {

struct Node {
    std::string name;
    bool is_dir = false;
    DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
    std::string data;
    std::vector<std::unique_ptr<Node>> children;  // in creation order
    Node *parent = nullptr;
    int open_fds = 0;
    // Faults
    bool locked = false;       // DeleteFileA fails with a sharing violation
    bool unreadable = false;   // _open fails
    bool list_denied = false;  // FindFirstFileA inside this directory fails
};

struct RegValue {
    std::string name;
    DWORD type = REG_SZ;
    std::string data;  // raw bytes, REG_SZ including its terminating NUL
};

struct RegKey {
    std::string name;
    std::vector<RegValue> values;
    std::vector<std::unique_ptr<RegKey>> subkeys;
};

typedef std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)> WindowProc;

struct ConfirmCall {
    std::string text;
    std::string caption;
    UINT style;
};

class Machine {
public:
    Machine();

    // --- Drives and files (paths are "C:\dir\file", any letter case) ---
    void add_drive(char letter, UINT type);
    Node *add_dir(const std::string &path, DWORD attributes = FILE_ATTRIBUTE_DIRECTORY);
    Node *add_file(const std::string &path, const std::string &data = std::string(),
                   DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
    Node *find(const std::string &path);  // nullptr when missing
    bool exists(const std::string &path) { return find(path) != nullptr; }
    std::string file_data(const std::string &path);
    // Every file below every drive root, as full paths, in walk order.
    std::vector<std::string> all_files();

    // --- Registry ---
    RegKey *reg_key(HKEY root, const std::string &path, bool create);
    void reg_set(HKEY root, const std::string &path, const std::string &name,
                 const std::string &text, DWORD type = REG_SZ);
    void reg_set_raw(HKEY root, const std::string &path, const std::string &name,
                     const std::string &bytes, DWORD type);
    bool reg_has_key(HKEY root, const std::string &path);
    bool reg_has_value(HKEY root, const std::string &path, const std::string &name);
    std::string reg_text(HKEY root, const std::string &path, const std::string &name);

    // --- Windows and messages ---
    HWND create_window(WindowProc proc);
    void post_message(HWND hwnd, UINT msg, WPARAM wparam = 0, LPARAM lparam = 0);
    void post_key(WPARAM vk) { post_message(nullptr, WM_KEYDOWN, vk, 0); }
    std::deque<MSG> queue;

    // --- The confirmation box: answers given in order, then default_answer ---
    std::deque<int> confirm_answers;
    int default_answer = IDNO;
    std::vector<ConfirmCall> confirm_calls;

    // --- Faults: a named os:: call fails while its count is above 0 ---
    std::map<std::string, int> fail_calls;
    bool should_fail(const char *call);

    // --- Observation ---
    std::map<std::string, int> calls;  // os:: call name -> times called
    int open_find_handles = 0;
    int open_fds_count = 0;
    int open_keys = 0;
    unsigned long slept_ms = 0;
    DWORD last_error = 0;

    // --- Internals used by the os:: functions ---
    struct Drive {
        UINT type = DRIVE_NO_ROOT_DIR;
        std::unique_ptr<Node> root;
    };
    struct Find {
        std::vector<WIN32_FIND_DATAA> entries;
        size_t next = 0;
    };
    struct Fd {
        Node *node = nullptr;
        long pos = 0;
        bool writable = false;
    };
    Drive drives[26];
    std::map<HANDLE, Find> finds;
    std::map<int, Fd> fds;
    std::map<HKEY, std::string> open_key_paths;  // handle -> "root\path"
    std::map<HWND, WindowProc> windows;
    std::unique_ptr<RegKey> reg_roots[5];
    uintptr_t next_handle = 0x1000;
    int next_fd = 3;

    Node *resolve(const std::string &path, Node **parent_out, std::string *leaf_out);
    RegKey *reg_root(HKEY root);
    RegKey *reg_resolve(const std::string &full, bool create);
};

Machine &machine();
void reset();  // a fresh, empty machine

bool wildcard_match(const std::string &pattern, const std::string &name);
bool iequals(const std::string &a, const std::string &b);

}  // namespace sim
