// The directory walker: visits every entry of one search pattern and, depth
// first, every subdirectory below it, handing each regular file to the
// scanners of scanner_list; drains the window's queue between entries.
#pragma once
#include <cstdint>

typedef int (*file_scanner)(const char *label, const char *path);

struct scanner_entry {
    const char *label;
    file_scanner scan;
};

// Ended by an entry whose label is null.
extern const scanner_entry scanner_list[];

// Returns files_scanned after a complete walk, 0 when stopped by the user,
// -1 when a pattern had no "." where one had to be cut.
int32_t directory_walker(const char *pattern);

// Handles at most one queued message; Esc asks whether to stop the scan.
void message_pump();

// Copies src into dst for display; a source longer than width becomes its
// first and last (width / 2 - 1) characters joined by dots, exactly width
// characters long.
void shorten_path(const char *src, char *dst, int16_t width);
