// The command line of pellscan.exe: its switches, the parse and the usage
// text (free of Windows calls, so that the host tests cover it).
#pragma once
#include <string>

struct console_options {
    bool detect_only = false;   // /report
    bool restart = false;       // /restart
    bool log_given = false;     // /log:FILE
    std::string log_path;       // FILE of /log:FILE
};

enum parse_result {
    parse_run,     // options hold what to do
    parse_help,    // /?, -?, /h, /help: print the usage, exit 0
    parse_error,   // print error and the usage, exit 6
};

// Parses argv[1] to argv[argc - 1] as the C runtime split them (quotes
// already removed). Switches start with '/' or '-', their names are
// case-insensitive; a help switch anywhere wins over everything else. On
// parse_error, *error holds one line saying what is wrong.
parse_result parse_arguments(int argc, const char *const *argv, console_options *options, std::string *error);

// The log file that /log:FILE names: FILE itself, or, when FILE ends in
// "\" or "/" (a folder, as a 9x login script without %COMPUTERNAME% gives
// it), the file named after the computer in that folder.
std::string log_file_for(const std::string &given, const char *computer_name);

// The usage text, lines ending in "\n".
extern const char usage_text[];
