// The rows of the platform contract (see os_contract.h).
#include "tests/contract/os_contract.h"

#include "memory/process_api.h"

#include <cstdio>
#include <cstring>

namespace {

const DWORD any = 0xFFFFFFFF;  // the row does not look at GetLastError
const char *const key = "Software\\PellmarkContract";

ContractOutcome after(ContractMachine &m, long result) {
    (void)m;
    return {result, os::GetLastError()};
}

// Every name a search gives, counted, and GetLastError after the last look.
ContractOutcome count_found(ContractMachine &m, const std::string &pattern, const char *only = nullptr) {
    WIN32_FIND_DATAA data;
    m.set_last_error(contract_sentinel);
    HANDLE find = os::FindFirstFileA(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return after(m, -1);
    long n = 0;
    do {
        if (!only || std::strcmp(data.cFileName, only) == 0) ++n;
    } while (os::FindNextFileA(find, &data));
    ContractOutcome o = after(m, n);
    os::FindClose(find);
    return o;
}

ContractOutcome delete_file(ContractMachine &m, const std::string &path) {
    m.set_last_error(contract_sentinel);
    BOOL ok = os::DeleteFileA(path.c_str());
    return after(m, ok ? 1 : 0);
}

LONG open_key(HKEY *out) { return os::RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_ALL_ACCESS, out); }

// Opens the test key, makes one call on it, closes it: the call's result, or
// -1 when the key would not open.
template <typename Call> ContractOutcome on_key(ContractMachine &m, Call call) {
    HKEY k = nullptr;
    if (open_key(&k) != ERROR_SUCCESS) return after(m, -1);
    long r = call(k);
    os::RegCloseKey(k);
    return after(m, r);
}

const std::vector<ContractRow> rows = {
    // Searches
    {"*.* lists ., .. and the one file of a folder", {3, ERROR_NO_MORE_FILES},
     [](ContractMachine &m) {
         m.make_dir(m.root() + "\\d");
         m.make_file(m.root() + "\\d\\a.txt", "a", FILE_ATTRIBUTE_ARCHIVE);
         return count_found(m, m.root() + "\\d\\*.*");
     }},
    {"*.* also finds a name without a dot", {1, ERROR_NO_MORE_FILES},
     [](ContractMachine &m) {
         m.make_file(m.root() + "\\noext", "", FILE_ATTRIBUTE_ARCHIVE);
         return count_found(m, m.root() + "\\*.*", "noext");
     }},
    {"a trailing .* finds the bare name", {1, ERROR_NO_MORE_FILES},
     [](ContractMachine &m) {
         m.make_file(m.root() + "\\bare", "", FILE_ATTRIBUTE_ARCHIVE);
         return count_found(m, m.root() + "\\bare.*", "bare");
     }},
    {"? stands for one character", {1, ERROR_NO_MORE_FILES},
     [](ContractMachine &m) {
         m.make_file(m.root() + "\\ab.txt", "", FILE_ATTRIBUTE_ARCHIVE);
         m.make_file(m.root() + "\\abc.txt", "", FILE_ATTRIBUTE_ARCHIVE);
         return count_found(m, m.root() + "\\a?.txt");
     }},
    {"case does not matter", {1, ERROR_NO_MORE_FILES},
     [](ContractMachine &m) {
         m.make_file(m.root() + "\\MiXeD.Exe", "", FILE_ATTRIBUTE_ARCHIVE);
         return count_found(m, m.root() + "\\mixed.EXE");
     }},
    {"a drive root lists neither . nor ..", {0, ERROR_NO_MORE_FILES},
     [](ContractMachine &m) {
         ContractOutcome a = count_found(m, "C:\\*.*", ".");
         ContractOutcome b = count_found(m, "C:\\*.*", "..");
         return ContractOutcome{a.result + b.result, b.last_error};
     }},
    {"a pattern that matches nothing in a folder", {-1, ERROR_FILE_NOT_FOUND},
     [](ContractMachine &m) { return count_found(m, m.root() + "\\*.zzz"); }},
    {"a missing folder", {-1, ERROR_PATH_NOT_FOUND},
     [](ContractMachine &m) { return count_found(m, m.root() + "\\missing\\*.*"); }},
    {"hidden and system files are listed", {1, ERROR_NO_MORE_FILES},
     [](ContractMachine &m) {
         m.make_file(m.root() + "\\h.exe", "", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
         return count_found(m, m.root() + "\\*.*", "h.exe");
     }},

    // Drives
    {"C: is a fixed drive", {DRIVE_FIXED, any},
     [](ContractMachine &m) { return after(m, (long)os::GetDriveTypeA("C:\\")); }},
    {"a letter with no drive", {DRIVE_NO_ROOT_DIR, any},
     [](ContractMachine &m) { return after(m, (long)os::GetDriveTypeA("Q:\\")); }},

    // Deletion
    {"a read-only file is not deleted", {0, ERROR_ACCESS_DENIED},
     [](ContractMachine &m) {
         m.make_file(m.root() + "\\ro.exe", "x", FILE_ATTRIBUTE_READONLY);
         return delete_file(m, m.root() + "\\ro.exe");
     }},
    {"...until its attributes are reset", {1, any},
     [](ContractMachine &m) {
         m.make_file(m.root() + "\\ro2.exe", "x", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
         os::SetFileAttributesA((m.root() + "\\ro2.exe").c_str(), FILE_ATTRIBUTE_ARCHIVE);
         return delete_file(m, m.root() + "\\ro2.exe");
     }},
    {"a file held open without delete sharing", {0, ERROR_SHARING_VIOLATION},
     [](ContractMachine &m) {
         m.make_file(m.root() + "\\held.exe", "x", FILE_ATTRIBUTE_ARCHIVE);
         m.hold(m.root() + "\\held.exe");
         ContractOutcome o = delete_file(m, m.root() + "\\held.exe");
         m.release_all();
         return o;
     }},
    {"a missing file", {0, ERROR_FILE_NOT_FOUND},
     [](ContractMachine &m) { return delete_file(m, m.root() + "\\nothing.exe"); }},
    {"a file in a missing folder", {0, ERROR_PATH_NOT_FOUND},
     [](ContractMachine &m) { return delete_file(m, m.root() + "\\missing\\nothing.exe"); }},
    {"a folder is no file to delete", {0, ERROR_ACCESS_DENIED},
     [](ContractMachine &m) {
         m.make_dir(m.root() + "\\folder");
         return delete_file(m, m.root() + "\\folder");
     }},
    {"attributes of a missing file", {0, ERROR_FILE_NOT_FOUND},
     [](ContractMachine &m) {
         m.set_last_error(contract_sentinel);
         return after(m, os::SetFileAttributesA((m.root() + "\\nothing.exe").c_str(), FILE_ATTRIBUTE_ARCHIVE));
     }},

    // The C runtime's file calls (errno, not GetLastError)
    {"_access of a missing file", {-1, any},
     [](ContractMachine &m) { return after(m, os::_access((m.root() + "\\nothing.exe").c_str(), 4)); }},
    {"_open and _filelength of a file", {5, any},
     [](ContractMachine &m) {
         m.make_file(m.root() + "\\five.bin", "12345", FILE_ATTRIBUTE_ARCHIVE);
         int fd = os::_open((m.root() + "\\five.bin").c_str(), _O_RDONLY | _O_BINARY);
         if (fd == -1) return after(m, -1);
         long n = os::_filelength(fd);
         os::_close(fd);
         return after(m, n);
     }},
    {"a file's index: one file opened twice agrees, another file differs, one name each", {1, any},
     [](ContractMachine &m) {
         m.make_file(m.root() + "\\one.bin", "1", FILE_ATTRIBUTE_ARCHIVE);
         m.make_file(m.root() + "\\two.bin", "2", FILE_ATTRIBUTE_ARCHIVE);
         BY_HANDLE_FILE_INFORMATION info[3];
         const char *names[3] = {"\\one.bin", "\\ONE.BIN", "\\two.bin"};
         int known = 0;
         for (int i = 0; i < 3; ++i) {
             int fd = os::_open((m.root() + names[i]).c_str(), _O_RDONLY | _O_BINARY);
             if (fd == -1) continue;
             intptr_t handle = os::_get_osfhandle(fd);
             if (handle != -1 && os::GetFileInformationByHandle((HANDLE)handle, &info[i]) && info[i].nNumberOfLinks == 1)
                 ++known;
             os::_close(fd);
         }
         auto same = [&](int a, int b) {
             return info[a].dwVolumeSerialNumber == info[b].dwVolumeSerialNumber &&
                    info[a].nFileIndexHigh == info[b].nFileIndexHigh && info[a].nFileIndexLow == info[b].nFileIndexLow;
         };
         return after(m, known == 3 && same(0, 1) && !same(0, 2) ? 1 : 0);
     }},
    {"_open of a file held open by another", {1, any},
     [](ContractMachine &m) {
         m.make_file(m.root() + "\\shared.bin", "x", FILE_ATTRIBUTE_ARCHIVE);
         m.hold(m.root() + "\\shared.bin");
         int fd = os::_open((m.root() + "\\shared.bin").c_str(), _O_RDONLY | _O_BINARY);
         if (fd != -1) os::_close(fd);
         m.release_all();
         return after(m, fd != -1 ? 1 : 0);
     }},

    // The registry
    {"a missing key", {ERROR_FILE_NOT_FOUND, any},
     [](ContractMachine &m) {
         HKEY k = nullptr;
         LONG r = os::RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\PellmarkContractMissing", 0, KEY_READ, &k);
         if (r == ERROR_SUCCESS) os::RegCloseKey(k);
         return after(m, r);
     }},
    {"a size query gives the size with its terminator", {4, any},
     [](ContractMachine &m) {
         m.set_value(key, "text", std::string("abc", 4), REG_SZ);
         return on_key(m, [](HKEY k) {
             DWORD type = 0, size = 0;
             LONG r = os::RegQueryValueExA(k, "text", nullptr, &type, nullptr, &size);
             return r == ERROR_SUCCESS && type == REG_SZ ? (long)size : -1L;
         });
     }},
    {"a buffer too small: ERROR_MORE_DATA and the size needed", {ERROR_MORE_DATA * 100 + 4, any},
     [](ContractMachine &m) {
         m.set_value(key, "text", std::string("abc", 4), REG_SZ);
         return on_key(m, [](HKEY k) {
             BYTE small[2];
             DWORD type = 0, size = sizeof small;
             LONG r = os::RegQueryValueExA(k, "text", nullptr, &type, small, &size);
             return r * 100 + (long)size;
         });
     }},
    {"a missing value", {ERROR_FILE_NOT_FOUND, any},
     [](ContractMachine &m) {
         m.make_key(key);
         return on_key(m, [](HKEY k) {
             DWORD size = 0;
             return (long)os::RegQueryValueExA(k, "nothing", nullptr, nullptr, nullptr, &size);
         });
     }},
    {"deleting a missing value", {ERROR_FILE_NOT_FOUND, any},
     [](ContractMachine &m) {
         m.make_key(key);
         return on_key(m, [](HKEY k) { return (long)os::RegDeleteValueA(k, "nothing"); });
     }},
    {"a key with a subkey is not deleted", {ERROR_ACCESS_DENIED, any},
     [](ContractMachine &m) {
         m.make_key(std::string(key) + "\\parent\\child");
         return on_key(m, [](HKEY k) { return (long)os::RegDeleteKeyA(k, "parent"); });
     }},
    {"a key without subkeys is deleted", {ERROR_SUCCESS, any},
     [](ContractMachine &m) {
         m.make_key(std::string(key) + "\\leaf");
         return on_key(m, [](HKEY k) { return (long)os::RegDeleteKeyA(k, "leaf"); });
     }},
    // Processes
    {"an id that no process has does not open", {0, ERROR_INVALID_PARAMETER},
     [](ContractMachine &m) {
         m.set_last_error(contract_sentinel);
         HANDLE process = os::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, 0xFFFFFFFCu);
         ContractOutcome o = after(m, process ? 1 : 0);
         if (process) os::CloseHandle(process);
         return o;
     }},
    {"a process snapshot read to its end says there are no more entries", {0, ERROR_NO_MORE_FILES},
     [](ContractMachine &m) {
         HMODULE kernel = os::LoadLibraryA("kernel32.dll");
         create_snapshot_fn create = find_function<create_snapshot_fn>(kernel, "CreateToolhelp32Snapshot");
         process_walk_fn first = find_function<process_walk_fn>(kernel, "Process32First");
         process_walk_fn next = find_function<process_walk_fn>(kernel, "Process32Next");
         if (!create || !first || !next) return after(m, -1);
         HANDLE snapshot = create(TH32CS_SNAPPROCESS, 0);
         if (snapshot == INVALID_HANDLE_VALUE) return after(m, -1);
         PROCESSENTRY32 entry;
         std::memset(&entry, 0, sizeof entry);
         entry.dwSize = sizeof entry;
         m.set_last_error(contract_sentinel);
         BOOL more = first(snapshot, &entry);
         while (more) more = next(snapshot, &entry);
         ContractOutcome o = after(m, more);
         os::CloseHandle(snapshot);
         return o;
     }},
};

}  // namespace

const std::vector<ContractRow> &contract_rows() { return rows; }

std::vector<std::string> run_contract(ContractMachine &m) {
    std::vector<std::string> differences;
    for (const ContractRow &row : rows) {
        ContractOutcome got = row.run(m);
        bool same = got.result == row.expected.result &&
                    (row.expected.last_error == any || got.last_error == row.expected.last_error);
        if (!same) {
            char line[300];
            std::snprintf(line, sizeof line, "%s: %s: result %ld, GetLastError %lu; expected %ld, %lu", m.name(),
                          row.what, got.result, (unsigned long)got.last_error, row.expected.result,
                          (unsigned long)row.expected.last_error);
            differences.push_back(line);
        }
    }
    return differences;
}
