// What is done to a file the matcher found infected: delete it, ending the
// process that holds it when the first attempt fails, and leave it to the
// deletion at restart when even that fails. One report line per outcome.
#pragma once

// The disposition of a hit outside the memory phase (disposition_choice 100,
// delete); name is the detection name printed in the line.
void infected_file_disposition(const char *path, const char *name);

// The memory-phase re-test of a process image just terminated: reports the
// removal from memory, pauses a second, then counts the file and deletes it
// under the label's name, unless its line was reported for an earlier
// process. Returns 0 (no record is tested).
int memory_retest_disposition(const char *label, const char *path);

// Whether the memory scan has reported the file at path (under this path or
// another form of it, such as its short form).
int reported_by_memory_scan(const char *path);
