// The autorun sweep on arbitrary value names and data: the input is split
// at zero bytes into the infected file's path, then name and data pairs.
#include <vector>

#include "fuzz/fuzz_support.h"
#include "repair/autorun_sweep.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fresh_machine();
    sim::Machine &m = sim::machine();
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) parts.emplace_back();
        else parts.back() += (char)data[i];
    }
    const char *key = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    m.reg_key(HKEY_LOCAL_MACHINE, key, true);
    for (size_t i = 1; i + 1 < parts.size(); i += 2) m.reg_set(HKEY_LOCAL_MACHINE, key, parts[i], parts[i + 1]);
    std::strncpy(scan_state.file_under_test, parts[0].c_str(), sizeof scan_state.file_under_test - 1);
    autorun_sweep(HKEY_LOCAL_MACHINE, key);
    require(scan_state.removed_value_name[sizeof scan_state.removed_value_name - 1] == 0);
    require_all_closed();
    return 0;
}
