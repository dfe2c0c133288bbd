// Process termination by file, and the debug privilege. What either tells
// the user is shown in a notice box, or in a report line when no one is
// there (an unattended scan).
//
// A process is only ever matched by its own image: the snapshot method
// compares full paths, in their long or short (8.3) forms (the file name
// alone only when the entry carries no path), the process-status method full
// paths, and the performance-data method whole instance names, and then the
// full path of the candidate's main module, so that neither a look-alike
// such as "svchost" beside a target "svc.exe" nor a program of the same name
// in another folder is touched. A process whose path cannot be read (NT 4
// without psapi.dll, a process that refuses the query) is never ended by the
// performance-data method: its name alone may be that of a process of the
// system itself, which the trojan borrows.
#include "memory/process_kill.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "engine/byte_reader.h"
#include "engine/platform_facts.h"
#include "engine/same_file.h"
#include "engine/scan_state.h"
#include "memory/privileges.h"
#include "memory/process_api.h"

namespace {

enum : unsigned {
    perf_slot_count = 255,
    perf_slots_filled_at_most = 254,
    perf_name_size = 17,
    perf_first_buffer = 51200,
    perf_growth = 25600,
    // A truncated instance name keeps at least this many characters.
    perf_truncated_name = 15,
};

struct perf_process_slot {
    DWORD process_id;
    char name[perf_name_size];
};

// Bounds-checked reads of the performance-data block, in its DWORD fields.
struct perf_block : byte_view {
    bool u32(DWORD at, DWORD &out) const {
        uint32_t value;
        if (!le32(at, value)) return false;
        out = value;
        return true;
    }
};

// Whether a performance-data instance name is the target's base name.
bool perf_name_matches(const char *instance, const char *target) {
    size_t n = std::strlen(instance);
    if (n == 0) return false;
    if (os::_stricmp(instance, target) == 0) return true;
    return n >= perf_truncated_name && n < std::strlen(target) && os::_strnicmp(instance, target, n) == 0;
}

// Reads "Counters" and finds the title indexes of "process" and "id process".
bool perf_indexes(char (&process_index)[16], long &id_process_index) {
    char key_name[128];
    std::snprintf(key_name, sizeof key_name, "%s\\%03x", "software\\microsoft\\windows nt\\currentversion\\perflib", 9);
    HKEY key;
    if (os::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_name, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    bool found_process = false, found_id = false;
    DWORD type = 0, size = 0;
    if (os::RegQueryValueExA(key, "Counters", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        size <= perf_data_limit) {
        std::vector<char> list(size + 2, 0);
        DWORD got = size;
        if (os::RegQueryValueExA(key, "Counters", nullptr, &type, (BYTE *)list.data(), &got) == ERROR_SUCCESS) {
            if (got > size) got = size;
            list[got] = 0;
            list[got + 1] = 0;
            const char *p = list.data();
            const char *end = list.data() + got;
            while (p < end && *p) {
                const char *index = p;
                p += std::strlen(p) + 1;
                if (p >= end || !*p) break;
                const char *name = p;
                p += std::strlen(p) + 1;
                if (os::_stricmp(name, "process") == 0 && std::strlen(index) < sizeof process_index) {
                    std::strcpy(process_index, index);
                    found_process = true;
                }
                if (os::_stricmp(name, "id process") == 0) {
                    id_process_index = std::atol(index);
                    found_id = true;
                }
            }
        }
    }
    os::RegCloseKey(key);
    return found_process && found_id;
}

// Fills the slots from the block; returns how many were filled.
unsigned perf_fill_slots(const perf_block &b, long id_process_index, perf_process_slot *slots) {
    if (b.size == 0 || !b.fits(0, 8) || std::memcmp(b.data, "P\0E\0R\0F\0", 8) != 0) return 0;
    DWORD header_length, object;
    if (!b.u32(24, header_length)) return 0;
    object = header_length;
    DWORD definition_length, object_header, counters, instances;
    if (!b.u32(object + 4, definition_length) || !b.u32(object + 8, object_header) ||
        !b.u32(object + 32, counters) || !b.u32(object + 40, instances))
        return 0;
    bool have_offset = false;
    DWORD counter_offset = 0;
    for (DWORD i = 0; i < counters && !have_offset; ++i) {
        DWORD def = object + object_header + i * 40, title;
        if (!b.u32(def + 4, title)) return 0;
        if ((long)title == id_process_index) {
            if (!b.u32(def + 36, counter_offset)) return 0;
            have_offset = true;
        }
    }
    if (!have_offset) return 0;
    if (instances > perf_slots_filled_at_most) instances = perf_slots_filled_at_most;
    DWORD instance = object + definition_length;
    unsigned filled = 0;
    for (DWORD i = 0; i < instances; ++i) {
        DWORD byte_length, name_offset, block_length, id;
        if (!b.u32(instance, byte_length) || !b.u32(instance + 16, name_offset)) break;
        WCHAR wide[260];
        unsigned n = 0;
        for (DWORD at = instance + name_offset; n < 259 && b.fits(at, 2); at += 2, ++n) {
            wide[n] = (WCHAR)read_le16(b.data + at);
            if (!wide[n]) break;
        }
        wide[n < 259 ? n : 259] = 0;
        char narrow[260];
        perf_process_slot &slot = slots[filled];
        if (os::WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr) == 0)
            std::strcpy(slot.name, "unknown");
        else if (std::strlen(narrow) <= perf_name_size - 1)
            std::strcpy(slot.name, narrow);
        else
            slot.name[0] = 0;
        DWORD counter_block = instance + byte_length;
        if (!b.u32(counter_block + counter_offset, id) || !b.u32(counter_block, block_length)) break;
        slot.process_id = id ? id : 0xFFFFFFFEu;
        ++filled;
        if (byte_length == 0 && block_length == 0) break;
        instance = counter_block + block_length;
    }
    return filled;
}

}  // namespace

void enable_debug_privilege() {
    // Without a token the step has no effect, and the user is told.
    if (enable_privilege("SeDebugPrivilege", nullptr)) return;
    if (!scan_state.unattended) {
        os::MessageBoxA(nullptr, "false", "TEMP", MB_OK);
    } else if (!scan_state.debug_privilege_reported) {
        scan_state.debug_privilege_reported = 1;
        report("System Memory    Debug privilege could not be enabled");
    }
}

int kill_by_name_toolhelp(const char *path) {
    HMODULE kernel = os::LoadLibraryA("Kernel32.dll");
    os::Sleep(100);
    if (!kernel) return 0;
    PROCESSENTRY32 *entry = new (std::nothrow) PROCESSENTRY32;
    if (!entry) return 0;
    std::memset(entry, 0, sizeof *entry);
    int result = 0;
    create_snapshot_fn create_snapshot = find_function<create_snapshot_fn>(kernel, "CreateToolhelp32Snapshot");
    HANDLE snapshot = create_snapshot ? create_snapshot(TH32CS_SNAPPROCESS, 0) : INVALID_HANDLE_VALUE;
    os::Sleep(100);
    process_walk_fn first = find_function<process_walk_fn>(kernel, "Process32First");
    if (snapshot != INVALID_HANDLE_VALUE && first) {
        entry->dwSize = sizeof *entry;
        bool more = first(snapshot, entry) != 0;
        while (more) {
            bool has_path = std::strchr(entry->szExeFile, '\\') != nullptr;
            bool match = has_path ? same_file(entry->szExeFile, path)
                                  : same_text_nocase(entry->szExeFile, file_name_part(path));
            if (match) {
                os::Sleep(50);
                // The snapshot is old by now: the match is ended only while
                // a fresh one lists its id with the same file. Found gone,
                // it no longer holds the file.
                if (end_if_listed(kernel, entry->th32ProcessID, entry->szExeFile) != end_outcome::refused)
                    result = 1;
                os::Sleep(500);
                break;
            }
            process_walk_fn next = find_function<process_walk_fn>(kernel, "Process32Next");
            if (!next) break;
            os::Sleep(100);
            more = next(snapshot, entry) != 0;
            os::Sleep(100);
        }
    }
    if (snapshot != INVALID_HANDLE_VALUE) os::CloseHandle(snapshot);
    delete entry;
    return result;
}

int kill_by_path_psapi(const char *path) {
    process_list list;
    if (!list_processes_psapi(list, nullptr)) return 0;
    for (process_record *r = list.first; r; r = r->next) {
        if (!same_text_nocase(r->image_path, path)) continue;
        // The list is old by the time a later record comes: an id freed
        // meanwhile may belong to another program.
        if (end_if_image(r->process_id, path) == end_outcome::ended) os::Sleep(500);
    }
    return 1;
}

int kill_by_name_perfdata(const char *path) {
    char target[260];
    std::strncpy(target, path, sizeof target - 1);
    target[sizeof target - 1] = 0;
    upper_text(target);
    size_t length = std::strlen(target);
    if (length <= 4) return 0;
    target[length - 4] = 0;
    const char *name = file_name_part(target);
    if (!*name) return 0;

    static perf_process_slot slots[perf_slot_count];
    std::memset(slots, 0, sizeof slots);
    unsigned filled = 0;
    char process_index[16] = {0};
    long id_process_index = 0;
    if (perf_indexes(process_index, id_process_index)) {
        std::vector<unsigned char> buffer;
        DWORD size = perf_first_buffer;
        LONG status;
        for (;;) {
            buffer.assign(size, 0);
            DWORD got = size;
            DWORD type = 0;
            status = os::RegQueryValueExA(HKEY_PERFORMANCE_DATA, process_index, nullptr, &type, buffer.data(), &got);
            if (status == ERROR_MORE_DATA) {
                if (size + perf_growth > perf_data_limit) break;
                size += perf_growth;
                continue;
            }
            if (status == ERROR_SUCCESS) {
                perf_block block = {{buffer.data(), got < size ? got : size}};
                filled = perf_fill_slots(block, id_process_index, slots);
            }
            break;
        }
    }
    os::RegCloseKey(HKEY_PERFORMANCE_DATA);

    // An instance name is only a base name: a candidate is ended only when
    // the path of its main module is the file. One whose path cannot be read
    // (no psapi.dll, a process that refuses the query) may be a genuine
    // program or a process of the system itself bearing the name the trojan
    // borrowed (csrss, winlogon): it is never ended, and the file waits for
    // its deletion at restart.
    int result = 0;
    for (unsigned i = 0; i < filled; ++i) {
        if (!perf_name_matches(slots[i].name, name)) continue;
        if (end_if_image(slots[i].process_id, path) != end_outcome::ended) continue;
        result = 1;
        os::Sleep(500);
    }
    return result;
}

int32_t kill_process_of_file(const char *path) {
    // Offline no process of the disk runs: there is none to end or to name.
    if (scan_state.offline) return 0;
    int family = platform_family();
    int result;
    if (family == 4) {
        result = kill_by_name_toolhelp(path);
    } else if (family == 5) {
        if (nt_generation() == 6) return kill_by_path_psapi(path) ? 1 : 0;
        result = kill_by_name_perfdata(path);
    } else {
        return 1;
    }
    if (result) return 1;
    if (scan_state.unattended) report("%s     Could not kill process", path);
    else os::MessageBoxA(nullptr, "Could not kill process", path, MB_OK);
    return 0;
}
