// The one process-wide scan state shared by the engine, the memory scan, the
// repair code and the main window, and the report channel through which the
// engine talks to the window: one text buffer plus one synchronous message.
#pragma once
#include <cstdint>

#include "platform/os.h"

// How many images the memory scan remembers as reported.
enum { memory_file_limit = 32 };
// How many other things a detect-only scan remembers as reported found.
enum { found_mark_limit = 1024 };

struct scan_state_t {
    HWND report_window;
    char report_line[500];
    char status_text[260];
    char detection_name[260];
    char scan_target[260];
    int32_t disposition_choice;
    int32_t memory_choice;
    uint8_t memory_phase;
    uint8_t match_pending;
    uint8_t scan_terminated;
    uint8_t scan_finished;
    int32_t scan_running;
    int32_t restart_needed;
    int32_t files_scanned;
    int32_t files_infected;
    int32_t files_removed;
    char program_files_pattern[260];
    int32_t program_files_found;
    int32_t program_files_entered;
    char file_under_test[261];
    char removed_value_name[128];
    char removed_value_data[264];  // that value's command, in lower case
    // The images whose file line the memory scan has reported (the first
    // memory_file_limit of them), so that neither a second process of the
    // same image nor the drive walk reports or counts the file again while
    // it stays where the memory scan left it.
    char memory_files[memory_file_limit][261];
    // What the last disposition of each of those files left (a
    // disposition_outcome of engine/disposition.h).
    uint8_t memory_file_outcomes[memory_file_limit];
    int32_t memory_file_count;
    // How many memory-phase re-tests have reported a process removed.
    int32_t memory_retests;
    // Infected files left in place with their deletion at restart scheduled,
    // and left in place without it: the restart is offered only while the
    // first is above 0 and the second is 0.
    int32_t files_scheduled;
    int32_t files_left;
    // 1 + the number of the working copy of wininit.ini that a rewrite of
    // this run could not undo, the one place holding what the file held; 0
    // when there is none. With it, the fingerprint of what that rewrite left
    // in the file, so that the copy goes back only over exactly that.
    int32_t rename_copy_kept;
    uint32_t rename_left_fingerprint;
    // Detect-only: what has been reported found besides the memory scan's
    // listed files (registry values, services, the hosts file, the memory
    // scan's files beyond memory_file_limit, on the NT family each found
    // file's volume and index), each by the
    // fingerprint of its place and name, so that each is reported once, as
    // a removal removes it once (see first_report_of).
    uint64_t found_marks[found_mark_limit];
    int32_t found_mark_count;
    // The images of infected processes the memory scan left running, each
    // until a disposition of its file (the entry is then emptied); the
    // first memory_file_limit of them, running_overflow counting the rest.
    char running_files[memory_file_limit][261];
    int32_t running_file_count;
    int32_t running_overflow;
    // The file whose deletion the text signature scanner last tried and
    // could not make ("Remove failed"), until a later test finds it deleted,
    // gone or clean; empty when there is none.
    char text_file_left[261];
    // Unattended: the line saying the debug privilege could not be enabled
    // has been reported (once for the scan, not once for each process that
    // refused to be opened).
    uint8_t debug_privilege_reported;
    // Set by a front end before the scan, never by the engine.
    // detect_only: the scan tests and looks up everything a removal would
    // (processes, files, autorun values, services, the uninstall entry, the
    // hosts file) but ends, deletes, schedules and writes nothing; each line
    // says what was found where a removal says what it removed.
    uint8_t detect_only;
    // unattended: no one answers a question or reads a notice box. The
    // engine asks nothing and shows no system message box: what it would
    // have said becomes a report line, and after the memory scan's service
    // removal on NT 4 and NT 5.x the scan goes on to the drives instead of
    // asking for a restart and ending the program.
    uint8_t unattended;
    // offline: the scan runs on a disk whose programs do not run (a rescue
    // front end, with unattended). No process is named or ended, nothing is
    // scheduled for a restart, and each infected file's disposition is
    // followed by the removal of the keys of the service named after it, in
    // every numbered control set whose key has an ImagePath naming the file
    // (detect-only: each is reported found), with one line each.
    uint8_t offline;
};

// Zero at program start (static storage) and never reset by the program.
extern scan_state_t scan_state;

// "Pellmark Ver 1.0": window title, single-instance key, question caption.
extern const char app_title[];

// The report channel's two messages, sent with both parameters 0. They are
// system message numbers rather than private ones so that the engine needs
// no message of its own: the report window handles both itself and never
// passes them on with those parameters. The system also sends the window a
// real WM_ENABLE whenever a confirmation box disables and re-enables it;
// the handler then shows status_text once more, which is harmless.
enum : UINT {
    report_line_message = WM_SETREDRAW,   // append report_line to the results list
    report_status_message = WM_ENABLE,    // show status_text in the status line
};

// Formats one line into report_line and sends report_line_message to the
// report window, which appends it to the results list.
void report(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Copies text into status_text and sends report_status_message to the
// report window, which shows it in the status line.
void show_status(const char *text);

// Detect-only: 1 the first time it is called for this place and name (of
// registry key and value, say; letter case aside), 0 after that. Once
// found_mark_limit things are remembered, every further one is new each time.
int first_report_of(const char *place, const char *name);

// Whether first_report_of has remembered this place and name.
int reported_found(const char *place, const char *name);

// Copies src into a buffer of dst_size bytes, always terminated; returns 0 and
// leaves dst empty when src does not fit whole.
int copy_text(char *dst, unsigned dst_size, const char *src);

// Appends src to the text in dst (dst_size bytes); returns 0 and leaves dst
// unchanged when the result would not fit.
int append_text(char *dst, unsigned dst_size, const char *src);
