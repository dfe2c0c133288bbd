// Makes the row of one variant for engine/signature_table.cpp from its
// samples, proves it against a clean set and prints it, ready to paste, as
// the only text on standard output; the report goes to standard error.
// Files are only read.
//
//   make_signature --name NAME --clean DIR [--clean DIR ...] [--replace] SAMPLE [SAMPLE ...]
//
// Exit status: 0 with a row, 1 when the input or the row is refused, 2 on a
// usage error.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/signature_maker.h"

namespace {
int usage(const char *self) {
    std::fprintf(stderr, "usage: %s --name NAME --clean DIR [--clean DIR ...] [--replace] SAMPLE [SAMPLE ...]\n", self);
    return 2;
}
}  // namespace

int main(int argc, char **argv) {
    signature_maker::request req;
    std::vector<std::string> folders, sample_paths;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--name" || arg == "--clean") && i + 1 < argc)
            (arg == "--name" ? req.name : (folders.emplace_back(), folders.back())) = argv[++i];
        else if (arg == "--replace")
            req.replace = true;
        else if (arg.size() > 1 && arg[0] == '-')
            return usage(argv[0]);
        else
            sample_paths.push_back(arg);
    }
    if (req.name.empty() || folders.empty() || sample_paths.empty()) return usage(argv[0]);

    for (const std::string &path : sample_paths) {
        signature_maker::named_data s{path, std::string()};
        if (!signature_maker::read_real_file(path, s.data)) {
            std::fprintf(stderr, "make_signature: cannot read the sample %s\n", path.c_str());
            return 1;
        }
        req.samples.push_back(std::move(s));
    }
    std::string error;
    req.clean = signature_maker::clean_files_under(folders, error);
    if (!error.empty()) {
        std::fprintf(stderr, "make_signature: %s\n", error.c_str());
        return 1;
    }

    signature_maker::result r = signature_maker::make_row(req);
    for (const std::string &note : r.notes) std::fprintf(stderr, "make_signature: %s\n", note.c_str());
    if (!r.ok) {
        std::fprintf(stderr, "make_signature: refused: %s\n", r.refusal.c_str());
        return 1;
    }
    std::printf("%s\n", r.line.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}
