// What is done to a file the matcher found infected: delete it, ending the
// process that holds it when the first attempt fails, and leave it to the
// deletion at restart when even that fails. One report line per outcome.
// A detect-only scan reports the file found and leaves it as it is.
#pragma once
#include <cstdint>

// What the last disposition of a file left.
enum disposition_outcome : unsigned char {
    outcome_none = 0,       // no disposition yet
    outcome_removed = 1,    // the file was deleted
    outcome_scheduled = 2,  // it stays, its deletion at restart scheduled
    outcome_left = 3,       // it stays, and nothing will delete it
    outcome_found = 4,      // detect-only: reported found, left as it is
};

// The disposition of a hit outside the memory phase (disposition_choice 100,
// delete); name is the detection name printed in the line.
void infected_file_disposition(const char *path, const char *name);

// The memory-phase re-test of a process image just terminated: reports the
// removal from memory, pauses a second, then counts the file and deletes it
// under the label's name, unless the memory scan reported it for an earlier
// process and left it in place (deleted, it is a new find). Returns 0 (no
// record is tested).
int memory_retest_disposition(const char *label, const char *path);

// What the memory scan's disposition left of the file at path (under this
// path or another form of it, such as its short form): outcome_none when the
// memory scan has not reported it. A file it deleted that stands again is a
// new find; one it left in place (scheduled or not) is the same find, whose
// one line stands, as does one a detect-only scan reported found (on the NT
// family also under another path that leads to the same file).
disposition_outcome memory_scan_outcome(const char *path);

// The memory scan leaves an infected process running, its file to the drive
// walk: it stays counted by processes_left_running until a disposition of
// that file.
void memory_left_running(const char *image_path);

// How many infected processes the memory scan left running whose image file
// no disposition has met since (a walk that did not reach it, or stopped).
int32_t processes_left_running();

// The re-test of a process just terminated for being infected whose image
// file the walk could not list: a file that stands has the whole re-test;
// when it is gone, the process is reported removed from memory and, unless
// the memory scan reported its file for an earlier process, counted, with no
// file line.
void memory_retest_unlisted(const char *label, const char *image_path);
