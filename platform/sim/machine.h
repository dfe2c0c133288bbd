// The simulated Windows machine behind the host build of os::. Tests arrange
// drives, files, registry keys and windows through this API, inject faults,
// run engine code, and then inspect what changed.
#pragma once
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/os.h"
#include "platform/win_types_host.h"

namespace sim {

struct Node {
    std::string name;
    bool is_dir = false;
    DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
    std::string data;
    std::vector<std::unique_ptr<Node>> children;  // in creation order
    std::map<std::string, Node *> by_name;        // lower-case name -> child
    Node *parent = nullptr;
    Node *child(const std::string &name) const;
    Node *add_child(const std::string &name);
    void remove_child(Node *child);
    int open_fds = 0;
    // Faults
    bool locked = false;       // DeleteFileA fails with a sharing violation
    bool unreadable = false;   // _open fails
    bool list_denied = false;  // FindFirstFileA inside this directory fails
    long long listed_size = -1;  // the size its directory lists, when stale (-1: the data's size)
    std::string short_name;    // 8.3 name, when it differs from name; paths may use it (when it has a "~")
    Node *link = nullptr;      // a folder link: paths through it continue in link
};

struct Service {
    std::string name;
    DWORD state = SERVICE_RUNNING;
    int pending_polls = 0;     // status queries that still say stop-pending; -1: forever
    bool refuses_stop = false; // ControlService fails
    DWORD process_id = 0;      // the process that ends when the service stops
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

struct Process {
    DWORD pid = 0;
    std::string image;               // full path of the main module
    bool running = true;
    bool needs_debug = false;        // OpenProcess is denied until SeDebugPrivilege is on
    bool unkillable = false;         // TerminateProcess fails
    bool hides_module = false;       // GetModuleFileNameExA returns 0
    bool exits_on_its_own = false;   // ends just before the first OpenProcess that asks to terminate it
    // When it ends, its id goes to a new process of this image (not while a
    // handle to the ended process is open: then when the last one closes).
    std::string id_successor;
    std::string snapshot_name;       // szExeFile if not the image path
    std::string module_name;         // what GetModuleFileNameExA gives if not the image path
    std::string perf_name;           // performance-data instance name if not the base name
    std::vector<std::string> holds;  // further files it keeps open
    unsigned serial = 0;             // which process a handle refers to, whatever runs under the id
};

// What os::exit throws on the host, so that a test observes the exit.
struct ProgramExit {
    int status;
};

struct MessageBoxCall {
    std::string text;
    std::string caption;
    UINT type;
};

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
    // A folder at path that leads to the existing folder target (a link, which
    // may lead back up the tree). all_files() does not go through links.
    Node *add_link(const std::string &path, const std::string &target);
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

    // "SYSTEM\CurrentControlSet" is the numbered control set of this number.
    int current_control_set = 1;

    // --- Code pages: the ANSI code page is 1252 (Western; its OEM code page
    // is 850) or 932 (Japanese, double-byte: lead bytes 0x81-0x9F and
    // 0xE0-0xFC, whose second byte may be "\" or a capital letter; the OEM
    // code page is the same). Paths of files and keys are split into their
    // parts character by character, as Windows does. ---
    UINT ansi_code_page = 1252;
    bool lead_byte(unsigned char c) const;

    // --- System folders, environment, restart-time deletions ---
    std::string windows_dir = "C:\\WINDOWS";
    std::string system_dir = "C:\\WINDOWS\\SYSTEM32";
    std::map<std::string, std::string> environment = {{"SYSTEMROOT", "C:\\WINDOWS"},
                                                      {"WINDIR", "C:\\WINDOWS"}};
    std::vector<std::string> pending_deletes;  // MoveFileExA(..., DELAY_UNTIL_REBOOT), as given

    // --- 64-bit Windows: the program runs under WOW64 (IsWow64Process says
    // so). Its file calls on the system folder (but for catroot, catroot2,
    // drivers\etc, logfiles, spool and, from 6.1 on, driverstore below it) and on
    // regedit.exe of the Windows folder reach wow64_system_dir instead, which
    // GetSystemWow64DirectoryA gives. The test API and what MoveFileExA
    // records are not redirected. ---
    bool wow64 = false;
    std::string wow64_system_dir = "C:\\WINDOWS\\SysWOW64";
    // The program's current folder, in which its file calls resolve a
    // relative path ("" for none: such a path names nothing).
    std::string current_dir;
    std::string in_current_dir(const std::string &path);
    // What a file call of the program reaches for path.
    std::string program_view(const std::string &path);

    // --- Services ---
    std::vector<Service> services;
    bool scm_open_fails = false;
    Service *service(const std::string &name);
    int open_service_handles = 0;

    // --- Version ---
    struct Version {
        bool query_fails = false;
        DWORD platform_id = VER_PLATFORM_WIN32_NT;
        DWORD major = 5;
        DWORD minor = 1;
    } version;
    void set_version(DWORD platform_id, DWORD major, DWORD minor) {
        version.platform_id = platform_id;
        version.major = major;
        version.minor = minor;
    }

    // --- Processes and libraries ---
    Process &add_process(DWORD pid, const std::string &image);
    Process *process(DWORD pid);
    // The process running under pid (if any) ends on its own; successor, when
    // given, is the image of the new process that gets the id next (at once,
    // or when the last handle to the ended process closes: a handle keeps a
    // process's id from being reused).
    void end_process(DWORD pid, const std::string &successor = std::string());
    std::vector<Process> processes;
    // A process id that a service stop frees goes to a new process of this
    // image.
    std::map<DWORD, std::string> id_successors;
    std::vector<DWORD> terminated;             // in order
    std::vector<std::string> terminated_images;  // the image of each, in order
    std::vector<unsigned long> terminated_at;  // slept_ms at each termination
    // The running process of the id ends by itself (as a program that quits
    // does); a service it ran is stopped from then on. Its id is free for
    // add_process.
    void exit_process(DWORD pid);
    std::set<std::string> missing_libraries;   // lower-case names
    std::set<std::string> missing_functions;
    bool holds_file(const std::string &path);
    // Files another program holds open for a moment (lower-case paths):
    // deleting one is a sharing violation while it is held.
    std::set<std::string> held_paths;

    // --- Token and privileges ---
    bool token_open_fails = false;
    std::set<std::string> held_privileges = {"SeDebugPrivilege", "SeShutdownPrivilege"};
    std::set<std::string> enabled_privileges;
    std::vector<MessageBoxCall> message_boxes;
    std::vector<UINT> exit_windows_calls;
    BOOL exit_windows_result = TRUE;

    // --- Performance data ---
    // Writes perflib\009 "Counters" naming "Process" and "ID Process".
    void install_perflib(int process_index = 230, int id_process_index = 784);
    // The block generated from the running processes (32-bit layout), unless
    // perf_block_supplied holds one.
    std::string perf_block();
    bool perf_block_given = false;
    std::string perf_block_supplied;
    int perf_process_index = 230;
    int perf_id_process_index = 784;
    std::vector<DWORD> perf_query_sizes;  // buffer size offered at each query

    // --- Windows and messages ---
    HWND create_window(WindowProc proc);
    void post_message(HWND hwnd, UINT msg, WPARAM wparam = 0, LPARAM lparam = 0);
    void post_key(WPARAM vk) { post_message(nullptr, WM_KEYDOWN, vk, 0); }
    std::deque<MSG> queue;

    // --- The confirmation box: answers given in order, then default_answer ---
    std::deque<int> confirm_answers;
    int default_answer = IDNO;
    std::vector<ConfirmCall> confirm_calls;

    // --- Changes while the program runs: called before _open opens a path
    // and before _read reads a file, so a test can make a file vanish, lock
    // or shrink under the program ---
    std::function<void(const std::string &path)> on_open;
    std::function<void(Node *file)> on_read;  // may change the file's data, not remove it
    // Called at the start of every os:: call with the call's name, before the
    // call does anything: a test may change anything of the machine here
    // (end a process, give its id to another, rewrite a file, add a value).
    std::function<void(const char *call)> on_call;
    bool in_on_call = false;

    // --- Faults: a named os:: call fails while its count is above 0, once
    // fail_after has let that many calls of it succeed first. The keys are
    // the calls' names ("DeleteFileA", "RegOpenKeyExA", ...) and these
    // further ones:
    //   "_read_short"   a _read gives half of what it could (when over 1)
    //   "_write_short"  a _write writes half of what it was asked
    //   "perf_query"    the performance-data query fails (access denied)
    // A failing call fails as the system's does: OpenProcess and
    // TerminateProcess with ERROR_ACCESS_DENIED, a process or service
    // enumeration, a status query or a control request with FALSE, _access
    // with -1, FindNextFileA as the end of the listing (ERROR_NO_MORE_FILES),
    // LoadLibraryA and GetProcAddress with NULL.
    // ---
    std::map<std::string, int> fail_calls;
    std::map<std::string, int> fail_after;
    // What a FindNextFileA failed by fault leaves for GetLastError: its end
    // by default, or another error for a listing that breaks off.
    DWORD find_next_fault_error = ERROR_NO_MORE_FILES;
    bool should_fail(const char *call);

    // --- Observation ---
    std::map<std::string, int> calls;  // os:: call name -> times called
    std::vector<std::string> opened;        // every path given to _open
    std::vector<std::string> deleted_keys;  // every sub-key given to RegDeleteKeyA
    // A value or key deleted from a key while a handle to it that has been
    // enumerated is still open (which the registry leaves undefined).
    bool deleted_while_enumerating = false;
    std::set<HKEY> enumerated_keys;
    int open_find_handles = 0;
    int open_fds_count = 0;
    int open_keys = 0;
    int open_handles = 0;  // process, snapshot and token handles
    unsigned long slept_ms = 0;
    // The clock behind GetTickCount, in milliseconds; it wraps like the real
    // one. Sleep moves it, and so does every directory entry that
    // FindFirstFileA or FindNextFileA hands out (entry_ms each), so that a
    // message posted during one entry is seen by the next entry's pump.
    DWORD clock_ms = 0;
    DWORD entry_ms = 5;
    DWORD tick_ms = 1;  // GetTickCount moves in steps of this many ms
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
    enum HandleKind { no_handle, process_handle, snapshot_handle, token_handle };
    struct Handle {
        HandleKind kind = no_handle;
        DWORD pid = 0;
        unsigned serial = 0;  // the process, for a process handle
        DWORD access = 0;
        std::vector<PROCESSENTRY32> entries;
        size_t next = 0;
    };
    std::map<HANDLE, Handle> handles;
    std::map<SC_HANDLE, std::string> service_handles;  // "" for the manager
    std::unique_ptr<RegKey> reg_roots[5];
    uintptr_t next_handle = 0x1000;
    unsigned next_serial = 1;
    Process *process_of(const Handle &h);  // nullptr once it is gone from the list
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
