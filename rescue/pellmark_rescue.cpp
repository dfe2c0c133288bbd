// pellmark-rescue: the engine run from a Linux rescue system over a Windows
// disk mounted on it, while none of the disk's programs runs. It scans the
// disk's files and its offline registry as pellscan.exe scans a running
// system, removes (or, with --report, only reports) what it finds, also
// removes the service keys that name an infected file, writes every report
// line to stdout and to the log, commits each changed hive before the line
// that follows the change, and exits with pellscan.exe's exit codes.
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "console/exit_codes.h"
#include "engine/scan_driver.h"
#include "engine/scan_state.h"
#include "platform/rescue/rescue.h"

#ifndef PELLMARK_VERSION_TEXT
#define PELLMARK_VERSION_TEXT "1.0"
#endif

namespace {

const char usage_text[] =
    "Usage: pellmark-rescue [--report] [--log FILE] [--drive LETTER=PATH]... WINDOWS-ROOT\n"
    "       pellmark-rescue --help\n"
    "\n"
    "Scans a Windows disk mounted on this system for W32/Quelby.Trojan and removes it:\n"
    "its files, its autorun values, its uninstall entry and the services that run it,\n"
    "in the disk's offline registry (NT family; a 9x disk has its files cleaned only).\n"
    "\n"
    "  WINDOWS-ROOT       the mounted Windows volume, drive C: (it must hold\n"
    "                     Windows\\System32\\config\\SOFTWARE, or a 9x Windows\\SYSTEM.DAT)\n"
    "  --drive L=PATH     a further volume of the installation as drive L: (D to Z);\n"
    "                     only C: and the drives given are scanned\n"
    "  --report           report only: find everything, change nothing\n"
    "  --log FILE         also append every line to FILE\n"
    "  --help             this text\n"
    "\n"
    "A changed hive is written beside the original and renamed over it, after one\n"
    "backup (NAME.pellmark-backup, kept from the first run). Nothing is scheduled\n"
    "for a restart: a file that cannot be deleted is reported \"Unable to remove\".\n"
    "\n"
    "Exit codes: 0 nothing found, 1 found and removed, 2 removal completes at the\n"
    "next restart, 3 something could not be removed, 4 found (--report), 5 stopped\n"
    "before the end, 6 could not run.\n";

const char rule[] = "==============================================================================";
const char thin_rule[] = "------------------------------------------------------------------------------";

struct Options {
    bool detect_only = false;
    std::string log_path;
    std::string root;
    std::vector<std::pair<char, std::string>> drives;
};

int log_fd = -1;
bool log_failed = false;
bool remove_failed_seen = false;

// One line, converted from the engine's code page, to stdout and the log.
// A control character (a line end in a file name) shows as "?", as a
// character the code page cannot show does: it never starts a line.
void out_line(const std::string &ansi) {
    std::string shown = ansi;
    for (char &c : shown)
        if ((unsigned char)c < 0x20 && c != '\t') c = '?';
    std::string line = rescue::ansi_to_utf8(shown) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    if (log_fd >= 0 && write(log_fd, line.data(), line.size()) != (ssize_t)line.size()) log_failed = true;
}

void out_format(const char *format, ...) __attribute__((format(printf, 1, 2)));
void out_format(const char *format, ...) {
    char text[1200];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    out_line(text);
}

bool ends_with(const char *text, const char *tail) {
    size_t n = std::strlen(text), m = std::strlen(tail);
    return n >= m && std::strcmp(text + n - m, tail) == 0;
}

bool commit_changed_hives();
bool registry_change_refused = false;

// Each deletion the hive store refused since the last line (the engine says
// nothing of a Run value it could not delete) is said before the next.
void say_refused_changes() {
    rescue::Disk &d = rescue::disk();
    for (rescue::HiveSlot *slot : {&d.software, &d.system}) {
        if (slot->change_error.empty()) continue;
        out_format("Registry hive %s: a deletion was refused (%s); what it held is still there",
                   slot->windows_path.c_str(), rescue::utf8_to_ansi(slot->change_error).c_str());
        slot->change_error.clear();
        registry_change_refused = true;
    }
}

LRESULT on_report(UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == report_line_message && wparam == 0 && lparam == 0) {
        std::string line = scan_state.report_line;
        // A registry line says removed of the change just made, which a
        // commit that failed here did not write.
        const char registry[] = "System Registry ", removed[] = " removed";
        if (!scan_state.detect_only && !commit_changed_hives() && line.rfind(registry, 0) == 0 &&
            ends_with(line.c_str(), removed))
            line.replace(line.size() - std::strlen(removed), std::string::npos, " Remove failed");
        say_refused_changes();
        out_line(line);
        if (ends_with(line.c_str(), " Remove failed")) remove_failed_seen = true;
    }
    return 0;  // the path being walked (the status line) is not written
}

void on_signal(int) { rescue::request_stop(); }

int cannot_run(const std::string &text, bool usage = false) {
    std::fprintf(stderr, "pellmark-rescue: %s\n", text.c_str());
    if (usage) std::fprintf(stderr, "\n%s", usage_text);
    return exit_cannot_run;
}

// 0: run; 1: help; 2: error (in *error).
int parse(int argc, char **argv, Options &o, std::string &error) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return 1;
    bool only_operands = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char *name, std::string &out) {
            std::string prefix = std::string(name) + "=";
            if (a.compare(0, prefix.size(), prefix) == 0) {
                out = a.substr(prefix.size());
                return true;
            }
            if (a != name) return false;
            if (i + 1 >= argc) {
                error = std::string(name) + " needs a value";
                return true;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (only_operands || a.empty() || a[0] != '-' || a == "-") {
            if (!o.root.empty()) {
                error = "only one WINDOWS-ROOT can be given";
                return 2;
            }
            o.root = a;
        } else if (a == "--") {
            only_operands = true;
        } else if (a == "--report") {
            o.detect_only = true;
        } else if (value("--log", v)) {
            if (!error.empty()) return 2;
            if (v.empty()) {
                error = "--log needs a file name";
                return 2;
            }
            o.log_path = v;
        } else if (value("--drive", v)) {
            if (!error.empty()) return 2;
            if (v.size() < 3 || v[1] != '=' || !std::isalpha((unsigned char)v[0])) {
                error = "--drive takes LETTER=PATH, such as D=/mnt/data, not '" + v + "'";
                return 2;
            }
            o.drives.push_back({(char)std::toupper((unsigned char)v[0]), v.substr(2)});
        } else {
            error = "unknown option " + a;
            return 2;
        }
    }
    if (o.root.empty()) {
        error = "no WINDOWS-ROOT given";
        return 2;
    }
    return 0;
}

std::string windows_text(const rescue::Disk &d) {
    if (d.kind == rescue::DiskKind::win9x) return "9x family (version not read), in " + d.windows_dir;
    char text[100];
    std::snprintf(text, sizeof text, "%lu.%lu.%lu", (unsigned long)d.major, (unsigned long)d.minor,
                  (unsigned long)d.build);
    std::string result = text;
    if (!d.service_pack.empty()) result += " " + d.service_pack;
    result += " (NT family)";
    if (!d.product.empty()) result += ", " + d.product;
    return result + ", in " + d.windows_dir;
}

void write_header(const Options &o, const rescue::Disk &d) {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &t);
    out_line(rule);
    out_line("Pellmark rescue: offline removal of W32/Quelby.Trojan");
    out_format("Date:         %s", date);
    out_format("Windows disk: %s (C:)", rescue::utf8_to_ansi(o.root).c_str());
    for (const auto &drive : o.drives)
        out_format("Drive %c:      %s", drive.first, rescue::utf8_to_ansi(drive.second).c_str());
    out_format("Windows:      %s", windows_text(d).c_str());
    out_format("Program:      pellmark-rescue %s", PELLMARK_VERSION_TEXT);
    out_format("Mode:         %s", o.detect_only ? "report only (nothing is changed)" : "remove");
    // A 64-bit installation keeps the registry of its 32-bit programs apart
    // (Software\Wow6432Node): that view is not cleaned; SysWOW64 is walked
    // as any folder.
    rescue::HiveStore::Key wow64;
    if (d.software.store && d.software.store->find_key("Wow6432Node", wow64) == rescue::HiveStatus::ok)
        out_line("Note:         a 64-bit Windows: the 32-bit programs' registry (Software\\Wow6432Node) is not "
                 "scanned or cleaned");
    out_line(thin_rule);
}

bool hive_not_cleaned = false;  // a hive is read but never changed

// The hives that could not be opened, or are not changed, say so before
// the scan.
void hive_notes(rescue::Disk &d) {
    if (d.kind == rescue::DiskKind::win9x) {
        out_line("Registry: a Windows 9x disk (SYSTEM.DAT, USER.DAT): its registry is not read or cleaned, "
                 "only its files are scanned");
        return;
    }
    for (rescue::HiveSlot *slot : {&d.software, &d.system}) {
        if (!slot->store)
            out_format("Registry hive %s cannot be opened (%s): its keys are not scanned or cleaned",
                       slot->windows_path.c_str(), rescue::utf8_to_ansi(slot->open_error).c_str());
        else if (!slot->store->clean()) {
            // Its log holds writes the file lacks, which a rewritten hive
            // would lose: it is read as the file holds it and never changed.
            slot->frozen = true;
            hive_not_cleaned = true;
            out_format("Registry hive %s was not closed cleanly (its log holds changes): its keys are scanned "
                       "but not cleaned",
                       slot->windows_path.c_str());
        }
    }
    if (d.system.store && d.current_control_set == 0)
        out_line("Registry: SYSTEM\\Select\\Current names no control set: CurrentControlSet is not found");
}

// What the commits of a hive did during the run.
struct HiveCommits {
    bool written = false;         // some commit replaced the hive
    bool backup_written = false;  // this run wrote NAME.pellmark-backup
    bool refused = false;         // a commit failed: the hive is not written again
};
HiveCommits commits[2];
bool hive_commit_failed = false;

// Commits each hive that changed since its last commit, before the report
// line that follows a change is shown: a line that says a value or key is
// removed is true on disk when it appears, and a run that ends early (a
// kill, a power cut) loses nothing it reported. A hive that is not written
// says so at once, and is frozen: nothing more is deleted from it. False
// when a hive was not written here.
bool commit_changed_hives() {
    bool all_written = true;
    rescue::Disk &d = rescue::disk();
    rescue::HiveSlot *slots[2] = {&d.software, &d.system};
    for (int i = 0; i < 2; ++i) {
        rescue::HiveSlot &slot = *slots[i];
        HiveCommits &c = commits[i];
        if (!slot.store || !slot.store->changed() || c.refused) continue;
        rescue::CommitReport r = slot.store->commit();
        c.backup_written = c.backup_written || r.backup_written;
        if (r.outcome == rescue::CommitOutcome::written || r.hive_replaced) c.written = true;
        if (r.outcome == rescue::CommitOutcome::written || r.outcome == rescue::CommitOutcome::nothing_to_commit)
            continue;
        std::string error = rescue::utf8_to_ansi(slot.store->last_error());
        if (r.hive_replaced) {
            out_format("Registry hive %s written, but its folder could not be flushed (%s)", slot.windows_path.c_str(),
                       error.c_str());
            continue;
        }
        c.refused = true;
        slot.frozen = true;
        all_written = false;
        hive_commit_failed = true;
        if (r.outcome == rescue::CommitOutcome::changed_on_disk)
            out_format("Registry hive %s NOT written: it changed on disk during the run; nothing is removed from it",
                       slot.windows_path.c_str());
        else
            out_format("Registry hive %s NOT written (%s); nothing is removed from it", slot.windows_path.c_str(),
                       error.c_str());
    }
    return all_written;
}

// The end of the run: what is left is committed, and each hive written
// says so, with its backup.
void finish_hives() {
    commit_changed_hives();
    say_refused_changes();
    rescue::Disk &d = rescue::disk();
    rescue::HiveSlot *slots[2] = {&d.software, &d.system};
    for (int i = 0; i < 2; ++i) {
        if (!commits[i].written) continue;
        std::string backup = slots[i]->name + ".pellmark-backup";
        out_format("Registry hive %s written, %s", slots[i]->windows_path.c_str(),
                   (commits[i].backup_written ? "the original kept as " + backup
                                              : "the original of an earlier run is kept as " + backup)
                       .c_str());
    }
}

}  // namespace

// No one answers a question: No, Cancel, or OK to a notice.
int ConfirmBox(const char *, const char *, UINT style) {
    switch (style & 0x0F) {
    case MB_YESNO: return IDNO;
    case MB_OKCANCEL: return IDCANCEL;
    default: return IDOK;
    }
}

int main(int argc, char **argv) {
    Options options;
    std::string error;
    switch (parse(argc, argv, options, error)) {
    case 1: std::fputs(usage_text, stdout); return exit_clean;
    case 2: return cannot_run(error, true);
    default: break;
    }

    if (!rescue::map_drive('C', options.root, error)) return cannot_run(error);
    for (const auto &drive : options.drives)
        if (!rescue::map_drive(drive.first, drive.second, error)) return cannot_run(error);
    if (!rescue::open_disk(error)) return cannot_run(error);

    if (!options.log_path.empty()) {
        log_fd = open(options.log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (log_fd < 0)
            return cannot_run("cannot open the log file " + options.log_path + ": " + std::strerror(errno) +
                              "; nothing was scanned");
    }

    struct sigaction stop;
    std::memset(&stop, 0, sizeof stop);
    stop.sa_handler = on_signal;
    // The stop is seen by the walk; a call the signal lands in (a hive
    // being written, a file read through FUSE) goes on instead of failing.
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &stop, nullptr);

    rescue::Disk &disk = rescue::disk();
    write_header(options, disk);
    hive_notes(disk);

    rescue::set_report_handler(on_report);
    std::strcpy(scan_state.scan_target, "!:");
    scan_state.report_window = (HWND)(uintptr_t)1;
    scan_state.disposition_choice = 100;
    scan_state.scan_running = 1;
    scan_state.unattended = 1;
    scan_state.offline = 1;
    scan_state.detect_only = options.detect_only ? 1 : 0;
    scan_driver();
    scan_state.scan_running = 0;

    if (!options.detect_only) finish_hives();
    bool stopped = scan_state.scan_terminated != 0;
    if (stopped) out_line("Stopped before the end (a signal): files not reached were not scanned");

    // What pellscan.exe decides from the scan state, and what only an offline
    // run knows besides: no process of the disk runs, and a hive that could
    // not be opened, written or changed may still hold the trojan's values or
    // services, so with an infection found not everything is known removed.
    run_outcome outcome = scan_outcome(options.detect_only);
    outcome.left_running = 0;
    bool hive_unread = disk.kind == rescue::DiskKind::nt && (!disk.software.store || !disk.system.store);
    outcome.remove_failed = outcome.remove_failed || remove_failed_seen || hive_commit_failed || hive_unread ||
                            hive_not_cleaned || registry_change_refused;
    int code = exit_code_for(outcome);
    out_format("RESULT %d infected=%d removed=%d scheduled=%d left=%d scanned=%d", code,
               (int)scan_state.files_infected, (int)scan_state.files_removed, (int)scan_state.files_scheduled,
               (int)scan_state.files_left, (int)scan_state.files_scanned);
    if (log_fd >= 0) {
        if (fsync(log_fd) != 0) log_failed = true;
        close(log_fd);
        if (log_failed) std::fprintf(stderr, "pellmark-rescue: the log is incomplete: a write failed\n");
    }
    return code;
}
