// The PE header reader and the matcher on arbitrary file bytes. The first
// 108 bytes, when there are that many, form the one record of the table, so
// hits and the disposition are reached too.
#include "engine/file_matcher.h"
#include "engine/signature_table.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fresh_machine();
    std::string table(2 * record_size, '\0');
    size_t used = 0;
    if (size > (size_t)record_size) {
        std::memcpy(&table[0], data, record_size);
        table[0] = table[0] ? table[0] : 'R';
        table[record_name_size - 1] = 0;
        used = record_size;
    }
    std::string file((const char *)data + used, size - used);
    sim::machine().add_file("C:\\f.exe", file);
    int hit = file_matcher_with_table((const unsigned char *)table.data(), "W32/Quelby.Trojan ", "C:\\f.exe");
    require(hit == 0 || scan_state.files_infected == 1);
    require(hit == (sim::machine().exists("C:\\f.exe") ? 0 : 1) || scan_state.files_removed == 0);
    sim::machine().add_file("C:\\g.exe", file);
    file_matcher("W32/Quelby.Trojan ", "C:\\g.exe");
    require_all_closed();
    return 0;
}
