// The wininit.ini rewrite on arbitrary existing content. The first byte
// chooses a failing write; the file then must hold exactly what it held.
#include "fuzz/fuzz_support.h"
#include "repair/restart_delete.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    fresh_machine();
    sim::Machine &m = sim::machine();
    m.set_version(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
    m.add_dir("C:\\WINDOWS\\TEMP");
    m.add_file("C:\\EVIL.EXE", "x");
    std::string before((const char *)data + 1, size - 1);
    m.add_file("C:\\WINDOWS\\wininit.ini", before);
    if (data[0] & 1) m.fail_calls["_write_short"] = 1 + (data[0] >> 1) % 8;
    int scheduled = schedule_delete_at_restart("C:\\EVIL.EXE");
    std::string after = m.file_data("C:\\WINDOWS\\wininit.ini");
    if (scheduled) require(after.find("NUL=C:\\EVIL.EXE\r\n") != std::string::npos);
    else require(after == before);
    require_all_closed();
    return 0;
}
