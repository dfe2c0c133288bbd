// Parsing pellscan.exe's switches, and its usage text.
#include "console/arguments.h"

namespace {

// ASCII only: the switch names are, whatever the code page.
char lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

bool same_name(const std::string &a, const char *b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return i == a.size() && b[i] == 0;
}

bool is_help(const char *argument) {
    if (argument[0] != '/' && argument[0] != '-') return false;
    std::string name(argument + 1);
    return name == "?" || same_name(name, "h") || same_name(name, "help");
}

}  // namespace

parse_result parse_arguments(int argc, const char *const *argv, console_options *options, std::string *error) {
    *options = console_options();
    for (int i = 1; i < argc; ++i)
        if (is_help(argv[i])) return parse_help;
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        if (argument[0] != '/' && argument[0] != '-') {
            *error = std::string("not a switch: ") + argument;
            return parse_error;
        }
        std::string name(argument + 1);
        bool *seen = nullptr;
        if (same_name(name, "report")) {
            seen = &options->detect_only;
        } else if (same_name(name, "restart")) {
            seen = &options->restart;
        } else if (name.size() >= 4 && same_name(name.substr(0, 4), "log:")) {
            if (name.size() == 4) {
                *error = std::string(argument) + " names no file";
                return parse_error;
            }
            seen = &options->log_given;
            if (!*seen) options->log_path = name.substr(4);
        } else {
            *error = std::string("unknown switch: ") + argument;
            return parse_error;
        }
        if (*seen) {
            *error = std::string("given twice: ") + argument;
            return parse_error;
        }
        *seen = true;
    }
    return parse_run;
}

std::string log_file_for(const std::string &given, const char *computer_name) {
    if (given.empty() || (given.back() != '\\' && given.back() != '/')) return given;
    return given + computer_name + ".log";
}

const char usage_text[] =
    "Finds and removes W32/Quelby.Trojan without a window or a question.\n"
    "\n"
    "PELLSCAN [/REPORT] [/LOG:file] [/RESTART]\n"
    "\n"
    "  (none)     Scan memory and every fixed drive C: to Z:, remove what is found.\n"
    "  /REPORT    Detect only: report what is found, change nothing.\n"
    "  /LOG:file  Append the log to file (a local path or \\\\server\\share\\file);\n"
    "             a file ending in \\ is a folder: the log is computer.log in it.\n"
    "             Without it the log is pellscan.log in the Windows folder.\n"
    "  /RESTART   Restart Windows when the removal needs a restart to finish.\n"
    "             Programs are asked to close; none is forced.\n"
    "  /?         Show this text.\n"
    "\n"
    "Exit codes:\n"
    "  0  nothing found\n"
    "  1  found, and everything removed\n"
    "  2  found, and the removal completes at the next restart\n"
    "  3  found, and something could not be removed\n"
    "  4  found with /REPORT (nothing changed)\n"
    "  5  stopped before the end\n"
    "  6  could not run (bad switches, log not writable, another copy running)\n";
