// The floor for any Windows program: enumerates every file below a folder
// with FindFirstFileA/FindNextFileA, nothing else, and prints the count and
// the milliseconds it took.
//
//   enumerate D:\\   (a folder ending in a backslash)
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
    std::string root = argc > 1 ? argv[1] : "D:\\";
    DWORD start = GetTickCount();
    long files = walk(root);
    std::printf("FILES: %ld\nELAPSED: %lu\n", files, (unsigned long)(GetTickCount() - start));
    return 0;
}
