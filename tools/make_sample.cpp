// Writes test files for the built-in signature table: a sample of its row
// with data, or one of the near misses. Used by the demo and the Windows-side
// scenarios to plant files.
//
//   make_sample sample|runnable|longer|pattern|signature|sections|offset FILE
//   make_sample malformed FOLDER     (the malformed-file corpus, one file each)
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/signature_table.h"
#include "tests/support/sample_maker.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s sample|runnable|longer|pattern|signature|sections|offset FILE\n"
                             "       %s malformed FOLDER\n", argv[0], argv[0]);
        return 2;
    }
    std::string kind = argv[1];
    const unsigned char *r = signature_table;
    if (kind == "malformed") {
        for (const sample::named_file &m : sample::malformed(r)) {
            std::string path = std::string(argv[2]) + "/" + m.name;
            FILE *f = std::fopen(path.c_str(), "wb");
            if (!f || std::fwrite(m.data.data(), 1, m.data.size(), f) != m.data.size() || std::fclose(f) != 0) {
                std::fprintf(stderr, "make_sample: cannot write %s\n", path.c_str());
                return 1;
            }
        }
        return 0;
    }
    std::string data = kind == "sample"      ? sample::make(r)
                       : kind == "runnable"  ? sample::make_runnable(r)
                       : kind == "longer"    ? sample::one_byte_longer(r)
                       : kind == "pattern"   ? sample::pattern_byte_wrong(r, 2)
                       : kind == "signature" ? sample::pe_signature_broken(r)
                       : kind == "sections"  ? sample::too_many_sections(r)
                       : kind == "offset"    ? sample::header_offset_past_end(r)
                                             : std::string();
    if (data.empty()) {
        std::fprintf(stderr, "make_sample: unknown kind %s\n", argv[1]);
        return 2;
    }
    FILE *f = std::fopen(argv[2], "wb");
    if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size()) return 1;
    return std::fclose(f) == 0 ? 0 : 1;
}
