// Makes the row of one variant for engine/signature_table.cpp from its
// samples, proves it against a clean set and prints it, ready to paste, as
// the only text on standard output; the report goes to standard error.
// Files are only read. make_signature --help describes the options.
//
// Exit status: 0 with a row (or after --help or --list), 1 for every
// refusal, which is one line on standard error.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tools/signature_maker.h"

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string out, err;
    int status;
    try {
        status = signature_maker::run_command(args, out, err);
    } catch (const std::exception &e) {
        err += std::string("make_signature: refused: ") + e.what() + "\n";
        status = 1;
    }
    std::fputs(err.c_str(), stderr);
    std::fputs(out.c_str(), stdout);
    if (std::fflush(stdout) != 0) return 1;
    return status;
}
