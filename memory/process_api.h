// The process functions that not every Windows version offers, looked up by
// name at run time, the process list that the passes build from them, and
// the ending of a listed process by its id.
#pragma once
#include "engine/find_function.h"
#include "engine/path_text.h"
#include "platform/os.h"

typedef HANDLE(WINAPI *create_snapshot_fn)(DWORD flags, DWORD process_id);
typedef BOOL(WINAPI *process_walk_fn)(HANDLE snapshot, PROCESSENTRY32 *entry);
typedef BOOL(WINAPI *enum_processes_fn)(DWORD *ids, DWORD bytes, DWORD *bytes_returned);
typedef DWORD(WINAPI *module_file_name_fn)(HANDLE process, HMODULE module, LPSTR name, DWORD size);

enum : unsigned { max_process_ids = 1024 };

struct process_record {
    DWORD process_id;
    char image_path[260];
    process_record *next;
};

// A singly linked list in enumeration order, owned by one pass.
struct process_list {
    process_record *first = nullptr;
    process_record *last = nullptr;
    ~process_list();
    // Appends a record, unless the image path is not a full path (such a
    // record is left out); false when it cannot be allocated.
    bool append(DWORD process_id, const char *image_path);
};

// Enumerates the NT family's processes with EnumProcesses and
// GetModuleFileNameExA into list (at most 1024 ids), each image path in its
// ordinary form (NT 4 and 2000 give some as \??\C:\... or \SystemRoot\...).
// on_access_denied, when given, runs when opening a process is refused, and
// the open is tried once more. Returns 0 when the library, a function or a
// record is missing.
int list_processes_psapi(process_list &list, void (*on_access_denied)());

// What a process runs, by the path of its main module (GetModuleFileNameExA,
// with NT path forms resolved) or by its tool-help entry: the file at path,
// another file, nothing (no process has the id), or unknown (that path
// cannot be read: no process-status library, a process that cannot be
// opened, a module that hides its name).
enum class process_image { same, other, gone, unknown };

// What one attempt to end a process by its id found: ended by this attempt;
// gone (no process has the id, or another program has it now: the process
// that ran the image has ended); refused (it lives on, or what it runs
// cannot be told).
enum class end_outcome { ended, gone, refused };

// Ends the process with this id only while it runs the file at path, told by
// the main module of the very handle that ends it: an open handle keeps the
// process's id from passing to another process meanwhile.
end_outcome end_if_image(DWORD process_id, const char *path);

// The same on the 9x family, where no process-status library tells a
// process's image: the process is ended only while a fresh tool-help
// snapshot (functions of kernel, "Kernel32.dll") lists the id with the
// executable exe_file, taken while the handle that ends it is open.
end_outcome end_if_listed(HMODULE kernel, DWORD process_id, const char *exe_file);
