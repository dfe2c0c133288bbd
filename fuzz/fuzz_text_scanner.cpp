// The text signature scanner on arbitrary hosts files: the built-in record,
// and a record made of the first 170 bytes.
#include "fuzz/fuzz_support.h"
#include "repair/text_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fresh_machine();
    std::string file((const char *)data, size);
    sim::machine().add_file("C:\\hosts", file);
    text_signature_scan("C:\\hosts");
    if (size > (size_t)text_record_size) {
        std::string record((const char *)data, text_record_size);
        record[24] = 0;
        sim::machine().add_file("C:\\hosts", file.substr(text_record_size));
        text_signature_scan_with_table((const unsigned char *)record.data(), 1, "C:\\hosts");
    }
    require_all_closed();
    return 0;
}
