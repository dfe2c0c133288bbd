// The directory walker: visits every entry of one search pattern and, depth
// first, every subdirectory below it, handing each regular file to the
// scanners of scanner_list; drains the window's queue between entries.
#pragma once
#include <cstdint>

#include "platform/os.h"

// Takes the scanner's label, the file's full path and the size its directory
// listed for it.
typedef int (*file_scanner)(const char *label, const char *path, uint64_t listed_size);

struct scanner_entry {
    const char *label;
    file_scanner scan;
};

// Ended by an entry whose label is null.
extern const scanner_entry scanner_list[];

// Returns files_scanned after a complete walk, 0 when stopped by the user,
// -1 when a pattern had no "." where one had to be cut.
int32_t directory_walker(const char *pattern);

// The walker lists each directory once and keeps the names of the
// subdirectories it met, to walk them after the files, in this many bytes
// over all levels of the walk (4 bytes plus the name and its string end a
// subdirectory). A directory whose names do not fit in what its parents
// left is listed a second time for its subdirectories, so none is missed.
enum : unsigned { subfolder_stack_bytes = 256 * 1024 };

// Handles at most one queued message; Esc asks whether to stop the scan.
// After a look that found the queue empty, the next look waits until
// pump_idle_ms have passed on the performance counter; calls before then
// return at once (without that counter every call looks).
// While looks find messages, every call looks.
void message_pump();
// With entries coming every d ms (whole ms), a message that arrives just after
// an empty look is seen at the next entry when d >= pump_idle_ms, and within
// ceil(3 / d) * d <= 4 ms otherwise.
enum : unsigned { pump_idle_ms = 3 };

// Milliseconds on the performance counter (they wrap); false when the
// machine has no such counter. GetTickCount moves only with the system
// timer, in steps of 10 ms and more (about 55 ms on the 9x family), too
// coarse to time the pump's wait or a display frame.
bool precise_clock_ms(DWORD *now);

// Forgets the pump's last look, so that its next call looks (a fresh run).
void message_pump_reset();

// Copies src into dst for display; a source longer than width becomes its
// first and last (width / 2 - 1) characters joined by dots, exactly width
// characters long.
void shorten_path(const char *src, char *dst, int16_t width);
