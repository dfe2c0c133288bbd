// The floor for any Windows program: enumerates every file below a folder
// with FindFirstFileA/FindNextFileA, nothing else, and prints the count and
// the milliseconds it took. Without an argument it enumerates every fixed
// drive from C: to Z:, the drives the scan walks.
//
//   enumerate [D:\\]   (a folder ending in a backslash)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

static long walk(const std::string &dir) {
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA((dir + "*.*").c_str(), &d);
    if (h == INVALID_HANDLE_VALUE) return 0;
    long files = 0;
    do {
        if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (std::strcmp(d.cFileName, ".") && std::strcmp(d.cFileName, ".."))
                files += walk(dir + d.cFileName + "\\");
        } else {
            ++files;
        }
    } while (FindNextFileA(h, &d));
    FindClose(h);
    return files;
}

int main(int argc, char **argv) {
    std::string drives;
    DWORD start = GetTickCount();
    long files = 0;
    if (argc > 1) {
        files = walk(argv[1]);
        drives = argv[1];
    } else {
        char root[4] = "C:\\";
        for (char letter = 'C'; letter <= 'Z'; ++letter) {
            root[0] = letter;
            if (GetDriveTypeA(root) != DRIVE_FIXED) continue;
            files += walk(root);
            drives += root;
            drives += " ";
        }
    }
    std::printf("DRIVES: %s\nFILES: %ld\nELAPSED: %lu\n", drives.c_str(), files, (unsigned long)(GetTickCount() - start));
    return 0;
}
